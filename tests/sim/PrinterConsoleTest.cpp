// The commands of tamberlyx-statemonitor-sim against the simulated printers:
// each changes what the USB printer, its command channel or the network
// printer's agent answers, and says so in one line; a bad one changes nothing.
// The console's input is cut into whole lines however it arrives, and what a
// reply repeats of a line cannot steer the terminal.
#include "sim/tools/PrinterConsole.h"

#include "device/Snmp.h"
#include "sim/tools/ConsoleLines.h"

#include <algorithm>
#include <functional>
#include <gtest/gtest.h>
#include <string>

using namespace tbx::sim;
using namespace std::string_literals;

namespace {

bool plugged(const SimulatedPrinters& printers) {
    const auto devices = printers.bus->devices();
    return std::find(devices.begin(), devices.end(), printers.usb->device()) != devices.end();
}

std::string replyTo(CommandResponder& responder, const std::string& request) {
    const auto reply = responder.answer(CommandResponder::Bytes(request.begin(), request.end()));
    return reply ? std::string(reply->begin(), reply->end()) : "(none)";
}

std::string snmpGet(const std::string& ip, const char* oid) {
    char out[256] = "";
    tbx::getPrinterStatusBySNMP(ip.c_str(), oid, out);
    return out;
}

} // namespace

TEST(PrinterConsole, CommandsChangeWhatThePrintersAnswer) {
    SimulatedPrinters printers;
    ASSERT_TRUE(printers.ready()) << printers.problem;
    PrinterConsole console(printers);
    UsbPrinter& usb = *printers.usb;
    CommandResponder& responder = *printers.responder;

    const char* status = ".1.3.6.1.4.1.53303.2.7.1.1";
    const char* toner = ".1.3.6.1.4.1.53303.2.7.4.1";
    const std::string net = printers.netAddress;

    // Each command in turn, its reply and what the printers answer afterwards.
    const struct {
        std::string line;
        std::string reply;
        std::function<bool()> holds;
    } cases[] = {
        {"code 8001", "USB printer: status code 8001",
         [&] { return usb.statusCode() == 8001 && usb.toner() == 80; }},
        {"  toner   33 ", "USB printer: toner 33 %",
         [&] { return usb.statusCode() == 8001 && usb.toner() == 33; }},
        {"code 65536", R"(code must be a whole number from 0 to 65535, not "65536")",
         [&] { return usb.statusCode() == 8001; }},
        {"toner -1", R"(toner must be a whole number from 0 to 100, not "-1")",
         [&] { return usb.toner() == 33; }},
        {"toner", "toner takes one number from 0 to 100", [&] { return usb.toner() == 33; }},
        {"code 1 2", "code takes one number from 0 to 65535", [&] { return usb.statusCode() == 8001; }},
        {"unplug", "USB printer unplugged", [&] { return !plugged(printers); }},
        {"unplug now", "unplug takes nothing more", [&] { return !plugged(printers); }},
        {"plug", "USB printer plugged in", [&] { return plugged(printers); }},
        {"stall maybe", "stall takes on or off", [] { return true; }},
        {"busy on", "USB printer: Wi-Fi commands answered \"busy\"",
         [&] { return replyTo(responder, "CheckwifiAP?").rfind("1001", 0) == 0; }},
        {"busy off", "USB printer: Wi-Fi commands answered normally",
         [&] { return replyTo(responder, "CheckwifiAP?").rfind("8014", 0) == 0; }},
        {"silent on", "USB printer: Wi-Fi commands go unanswered",
         [&] { return replyTo(responder, "CheckwifiAP?") == "(none)"; }},
        {"silent off", "USB printer: Wi-Fi commands answered",
         [&] { return replyTo(responder, "CheckwifiAP?").rfind("8014", 0) == 0; }},
        {"list-wait 1", "USB printer: the network list is not ready for the next 1 requests",
         [&] {
             return replyTo(responder, "Checkwifiserver?").rfind("8011", 0) == 0 &&
                    replyTo(responder, "Checkwifiserver?").rfind("8012", 0) == 0;
         }},
        {"list-wait 101", R"(list-wait must be a whole number from 0 to 100, not "101")",
         [] { return true; }},
        {"net code 3004", "network printer: status code 3004",
         [&] { return snmpGet(net, status) == R"(STRING: "3004,status")"; }},
        {"net toner 12", "network printer: toner 12 %",
         [&] { return snmpGet(net, toner) == "INTEGER: 12" && printers.netStatus() == "3004,status"; }},
        {"net toner 200", R"(net toner must be a whole number from 0 to 100, not "200")",
         [&] { return printers.netToner() == 12; }},
        {"bogus 1", "unknown command \"bogus 1\" (type help)", [] { return true; }},
        // What a reply repeats shows control characters escaped, not raw.
        {"bogus\x1b[2J\0\x7f\u009b"s, R"(unknown command "bogus\x1b[2J\x00\x7f\u009b" (type help))",
         [] { return true; }},
        {"toner 5\a\xff", R"(toner must be a whole number from 0 to 100, not "5\x07\xff")",
         [&] { return usb.toner() == 33; }},
        {"code 打印", R"(code must be a whole number from 0 to 65535, not "打印")",
         [&] { return usb.statusCode() == 8001; }},
        {"", "", [] { return true; }},
    };
    for (const auto& c : cases) {
        const PrinterConsole::Reply reply = console.run(c.line);
        EXPECT_EQ(reply.text, c.reply) << c.line;
        EXPECT_FALSE(reply.quit) << c.line;
        EXPECT_TRUE(c.holds()) << c.line;
    }
    EXPECT_EQ(console.run("state").text,
              "USB printer: plugged in, status code 8001, toner 33 %, stall off, busy off, silent off; "
              "network printer: " +
                  net + ", status \"3004,status\", toner 12 %");
    EXPECT_NE(console.run("help").text.find("net code N"), std::string::npos);
    EXPECT_TRUE(console.run("quit").quit);
}

TEST(PrinterConsole, NetworkCommandsWithoutANetworkPrinterSaySo) {
    SimulatedPrinters printers({.netPrinter = false});
    PrinterConsole console(printers);
    EXPECT_EQ(console.run("net code 5").text,
              "there is no network printer (run the tool with scripts/sandbox --hosts 1)");
    EXPECT_EQ(console.run("state").text.substr(console.run("state").text.find(';')),
              "; network printer: none");
}

// Lines of any length, in pieces of any size: each whole line comes out once; a
// line past the limit comes out once as too long, with nothing of it to run.
TEST(PrinterConsole, InputIsCutIntoWholeLinesAndOverLongOnesAreRefusedWhole) {
    using Line = ConsoleLines::Line;
    const std::string longLine = std::string(4608, 'x') + " quit";
    const struct {
        const char* what;
        std::vector<std::string> pieces;
        bool closed; // the input ends after the pieces
        std::vector<Line> lines;
    } cases[] = {
        {"two lines at once", {"code 1\ntoner 2\n"}, false, {{"code 1", 6, false}, {"toner 2", 7, false}}},
        {"a line in pieces", {"co", "de 1", "\n"}, false, {{"code 1", 6, false}}},
        {"empty lines", {"\n\n"}, false, {{"", 0, false}, {"", 0, false}}},
        {"no newline yet", {"quit"}, false, {}},
        {"the end of input ends the last line", {"quit"}, true, {{"quit", 4, false}}},
        {"a line of exactly the limit",
         {std::string(4096, 'y') + "\n"},
         false,
         {{std::string(4096, 'y'), 4096, false}}},
        {"one byte past the limit",
         {std::string(4097, 'y') + "\nhelp\n"},
         false,
         {{"", 4097, true}, {"help", 4, false}}},
        {"a long line whose tail reads like a command",
         {longLine.substr(0, 4096), longLine.substr(4096) + "\nstate\n"},
         false,
         {{"", longLine.size(), true}, {"state", 5, false}}},
        {"a long line in small pieces",
         {std::string(3000, 'z'), std::string(3000, 'z'), " quit", "\n"},
         false,
         {{"", 6005, true}}},
        {"a long line cut off by the end of input",
         {std::string(5000, 'z') + " quit"},
         true,
         {{"", 5005, true}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ConsoleLines input;
        std::vector<Line> lines;
        for (const std::string& piece : c.pieces) {
            for (Line& line : input.feed(piece)) {
                lines.push_back(std::move(line));
            }
        }
        if (c.closed) {
            if (auto last = input.finish()) {
                lines.push_back(std::move(*last));
            }
        }
        ASSERT_EQ(lines.size(), c.lines.size());
        for (std::size_t i = 0; i < lines.size(); ++i) {
            EXPECT_EQ(lines[i].text, c.lines[i].text) << i;
            EXPECT_EQ(lines[i].length, c.lines[i].length) << i;
            EXPECT_EQ(lines[i].tooLong, c.lines[i].tooLong) << i;
        }
    }
}
