// Inside the IOKit stand-in: how a user client's handle leads back to its
// client object. Included only by the stand-in's own sources.
#pragma once

namespace tbx::iokit::registry {

template <class Table, class Client>
struct ClientHandle {
    Table* table;
    Client* client;
};

template <class Client, class Table>
Client* clientOf(void* self) {
    // The tables are only reached through a handle, so `self` is never null.
    return static_cast<ClientHandle<Table, Client>*>(self)->client;
}

} // namespace tbx::iokit::registry
