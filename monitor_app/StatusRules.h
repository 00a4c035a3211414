// What the status view shows for the selected printer, worked out from a plain
// copy of the model's state: the header, the connection lines of the printer
// card, the two status lines with their level colour, and whether the
// network-settings button is offered. The widgets only draw the result.
#pragma once

#include <QColor>
#include <QString>
#include <QStringList>
#include <string>

namespace tbx::monitorapp {

// The fields of the selected printer and of its status that the view reads.
struct StatusState {
    std::string name{};    // model name, shown unchanged
    std::string type{};    // "USB", "Net" or empty for no printer
    std::string ip{};      // dotted address of a network printer
    int level = 1;         // 1 normal, 2 warning, anything else an error
    std::string message{}; // string-table keys (Chinese texts serve as keys)
    std::string discription{};
};

struct StatusContent {
    QString header;           // the printer's name
    bool networkSettingShown; // only for USB printers
    QString pictureName;      // the image resource named after the printer
    QStringList connectionLines;
    QString message;     // looked up in the string table
    QString description; // looked up in the string table
    QColor levelColor;
};

// Black for level 1, orange for 2, red for every other value.
QColor levelColor(int level);

// The network-settings button stands for a printer whose type is exactly "USB".
bool showsNetworkSetting(const std::string& type);

// "netPrinter" then "IP：" + address for "Net"; "usbPrinter" for "USB"; none else.
QStringList connectionLines(const std::string& type, const std::string& ip);

StatusContent statusContent(const StatusState& state);

} // namespace tbx::monitorapp
