// Plain IPv4 socket functions over integer descriptors: TCP connect with a
// time-out, a read loop, send of a whole buffer, listen and accept; UDP server and
// client sockets, datagrams with their sender, name lookup and broadcast. They
// keep no state; negative results are the failure codes listed per function.
//
// Waits use poll, so descriptors of any number work. No write ever raises SIGPIPE
// (sends use MSG_NOSIGNAL). Address texts are parsed strictly: a text that is not
// a dotted IPv4 address is refused, never taken for the broadcast address.
#pragma once

#include <chrono>
#include <cstdint>

namespace tbx {

// Connected, non-blocking descriptor, or -1 the host does not resolve, -2 the wait
// failed, -3 no connection within `timeout` seconds, -4 the attempt failed (also
// when it was refused at once, and when no socket could be made).
int tcpsocket_connect(const char* host, int port, int timeout);
// `blocking` 0: non-blocking; any other value: blocking. Answers fcntl's result.
int tcpsocket_set_block(int fd, int blocking);
int tcpsocket_close(int fd);
// Reads into data[0..len): first waits up to `timeout` seconds for data when
// `timeout` > 0 (0 timed out, -1 the wait failed). Then reads without blocking
// until the data stops or the peer ends the stream; before the first byte it
// retries up to 29 times, pausing up to a second for data each time. Answers the
// bytes read, or -1 when the connection failed before anything was read.
int tcpsocket_pull(int fd, std::uint8_t* data, int len, int timeout);
// Bytes that can be read without waiting, or the query's negative result.
int tcpsocket_bytes_available(int fd);
// Writes all `len` bytes, waiting up to `timeout` seconds at a time for room.
// Answers `len`, or -1 when a write failed or the wait ran out.
int tcpsocket_send(int fd, const std::uint8_t* data, int len, int timeout = 30);
// Listening descriptor bound to the dotted `address` and `port`: -1 the address
// is invalid or bind failed, -2 listen failed (no descriptor is left open then).
int tcpsocket_listen(const char* address, int port);
// Waits up to `timeout` seconds (without limit when `timeout` <= 0) and accepts
// one connection; writes the peer's dotted address (no terminator) into `peer_ip`
// (16 zeroed bytes at least) and its port into `peer_port`. -1 on any failure.
int tcpsocket_accept(int listen_fd, char* peer_ip, int* peer_port, int timeout);
// Local port of the descriptor, or -1.
int tcpsocket_port(int fd);

// Bound datagram socket: to the dotted `address`, or to any address when it is
// absent, empty or "255.255.255.255". -1 when the address is invalid or a call failed.
int udpsocket_server(const char* address, int port);
int udpsocket_client();
int enable_broadcast(int fd);
// Receives one datagram, waiting up to `timeout` seconds (without limit when
// `timeout` <= 0); writes its sender as `tcpsocket_accept` does. -1 on failure or
// when the wait ran out (the sender is then 0.0.0.0, port 0).
int udpsocket_recive(int fd, std::uint8_t* data, int len, char* peer_ip, int* peer_port, int timeout = 30);
// Sends one datagram to the dotted `address`; -1 also when the address is invalid.
int udpsocket_sentto(int fd, const std::uint8_t* data, int len, const char* address, int port);
// Writes the first IPv4 address of `host` (dotted, no terminator) into `ip`; -1
// when it does not resolve.
int udpsocket_get_server_ip(const char* host, char* ip);
int udpsocket_close(int fd);

// How long `tcpsocket_pull` waits for data between empty reads before the first
// byte (one second); tests shorten it.
void setPullRetryInterval(std::chrono::milliseconds interval);

} // namespace tbx
