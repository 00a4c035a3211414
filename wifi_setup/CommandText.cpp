#include "wifi_setup/CommandText.h"

#include "device/TCPCommunicator.h"

#include <QString>
#include <QStringList>
#include <QTextBoundaryFinder>
#include <cstdio>

namespace tbx::wifi {
namespace {

constexpr std::string_view kMask = "******";

std::string joinedFields(std::string_view prefix, const std::vector<std::string_view>& fields) {
    std::string command(prefix);
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) {
            command += kLineBreak;
        }
        command += fields[i];
    }
    command += ';';
    return command;
}

// The user-perceived characters of `line`, each as its own text.
QStringList graphemes(const QString& line) {
    QStringList pieces;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, line);
    qsizetype start = 0;
    while (finder.toNextBoundary() != -1) {
        const qsizetype end = finder.position();
        if (end > start) {
            pieces << line.mid(start, end - start);
        }
        start = end;
    }
    return pieces;
}

} // namespace

std::vector<std::string> components(std::string_view text, std::string_view separator) {
    std::vector<std::string> pieces;
    std::size_t from = 0;
    while (true) {
        const std::size_t at = text.find(separator, from);
        if (at == std::string_view::npos) {
            pieces.emplace_back(text.substr(from));
            return pieces;
        }
        pieces.emplace_back(text.substr(from, at - from));
        from = at + separator.size();
    }
}

std::string apCommand(const APSetting& setting, std::string_view encryptCode) {
    return joinedFields(kSetAPPrefix, {setting.APName, encryptCode, setting.APPassword, "S", setting.ip,
                                       setting.mask, setting.gateway});
}

std::string clientModeCommand(std::string_view networkName, const ClietModeSetting& setting) {
    return joinedFields(kSetClientModePrefix, {networkName, setting.WifiPassword, setting.ipSetType,
                                               setting.ip, setting.mask, setting.gateway});
}

std::string escapeCommand(std::string_view command) {
    std::string escaped(command);
    for (char& byte : escaped) {
        if (byte == '?') {
            byte = '\x01';
        } else if (byte == ';') {
            byte = '\x02';
        }
    }
    if (!escaped.empty()) {
        escaped.back() = command.back();
    }
    return escaped;
}

bool holdsControlByte(std::string_view field) {
    for (const char c : field) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            return true;
        }
    }
    return false;
}

std::string maskedCommand(std::string_view command) {
    std::size_t passwordField;
    std::string_view prefix;
    if (command.starts_with(kSetAPPrefix)) {
        prefix = kSetAPPrefix;
        passwordField = 2;
    } else if (command.starts_with(kSetClientModePrefix)) {
        prefix = kSetClientModePrefix;
        passwordField = 1;
    } else {
        return std::string(command);
    }
    std::vector<std::string> fields = components(command.substr(prefix.size()), kLineBreak);
    // A command cut before its password shows nothing to hide.
    if (fields.size() > passwordField + 1 && !fields[passwordField].empty()) {
        fields[passwordField] = kMask;
    }
    std::string masked(prefix);
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) {
            masked += kLineBreak;
        }
        masked += fields[i];
    }
    return masked;
}

std::string replyCode(std::string_view reply) {
    return std::string(reply.substr(0, reply.find(',')));
}

std::optional<std::string> replyText(std::span<const std::uint8_t> bytes) {
    std::size_t length = bytes.size();
    while (length > 0 && bytes[length - 1] == 0) {
        --length;
    }
    if (!isValidUTF8(bytes.data(), length)) {
        return std::nullopt;
    }
    return std::string(reinterpret_cast<const char*>(bytes.data()), length);
}

std::string optionalDescription(const std::optional<std::string>& text) {
    if (!text) {
        return "nil";
    }
    std::string out = "Optional(\"";
    for (const char c : *text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '\0':
            out += "\\0";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '"':
            out += "\\\"";
            break;
        case '\'':
            out += "\\'";
            break;
        case '\\':
            out += "\\\\";
            break;
        default:
            if (byte < 0x20 || byte == 0x7F) {
                char escaped[16];
                std::snprintf(escaped, sizeof escaped, "\\u{%X}", unsigned(byte));
                out += escaped;
            } else {
                out += c;
            }
        }
    }
    out += "\")";
    return out;
}

bool sameUnicodeText(std::string_view a, std::string_view b) {
    if (a == b) {
        return true;
    }
    const QString left = QString::fromUtf8(a.data(), qsizetype(a.size()));
    const QString right = QString::fromUtf8(b.data(), qsizetype(b.size()));
    return left.normalized(QString::NormalizationForm_C) == right.normalized(QString::NormalizationForm_C);
}

std::vector<ListedNetwork> listedNetworks(std::string_view listPiece) {
    std::vector<ListedNetwork> networks;
    for (const std::string& line : components(listPiece, kLineBreak)) {
        const QStringList characters = graphemes(QString::fromStdString(line));
        if (characters.size() < 3) {
            continue;
        }
        const QString& last = characters.back();
        // A line cut short by the transport, or one the printer garbled, names no
        // signal: it is left out rather than listed with a made-up level.
        if (last.size() != 1 || last[0] < u'0' || last[0] > u'9') {
            continue;
        }
        QString name;
        for (qsizetype i = 0; i + 2 < characters.size(); ++i) {
            name += characters[i];
        }
        networks.push_back({name.toStdString(), std::int64_t(last[0].unicode() - u'0')});
    }
    return networks;
}

std::optional<SettingsReply> settingsReply(std::string_view reply) {
    const std::vector<std::string> lines = components(reply, kLineBreak);
    if (lines.size() < 6 || lines[0].find(';') == std::string::npos) {
        return std::nullopt;
    }
    SettingsReply settings;
    settings.name = components(lines[0], ";")[1];
    settings.lines.assign(lines.begin() + 1, lines.begin() + 6);
    return settings;
}

} // namespace tbx::wifi
