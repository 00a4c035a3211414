// What the user reads on screen: a label's text as it draws it (markup
// rendered, entities resolved), and an alert's lines top to bottom.
#pragma once

#include <QLabel>
#include <QMessageBox>
#include <QTextDocument>
#include <algorithm>
#include <ostream>
#include <vector>

// Failure messages show Qt strings as text.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace tbx::test {

inline QString shownText(const QLabel& label) {
    const QString text = label.text();
    QTextDocument document;
    switch (label.textFormat()) {
    case Qt::PlainText:
        return text;
    case Qt::AutoText:
        if (!Qt::mightBeRichText(text)) {
            return text;
        }
        [[fallthrough]];
    case Qt::RichText:
        document.setHtml(text);
        return document.toPlainText();
    case Qt::MarkdownText:
        document.setMarkdown(text);
        return document.toPlainText().trimmed();
    }
    return text;
}

// The texts of the visible labels of an alert, top to bottom (its title line,
// then its message).
inline QStringList shownAlertLines(const QMessageBox& box) {
    std::vector<const QLabel*> labels;
    for (const QLabel* label : box.findChildren<QLabel*>()) {
        if (label->isVisible() && !label->text().isEmpty()) {
            labels.push_back(label);
        }
    }
    std::sort(labels.begin(), labels.end(), [](const QLabel* a, const QLabel* b) {
        return a->mapTo(a->window(), QPoint()).y() < b->mapTo(b->window(), QPoint()).y();
    });
    QStringList lines;
    for (const QLabel* label : labels) {
        lines << shownText(*label);
    }
    return lines;
}

} // namespace tbx::test
