#include "ActionEditor.h"

#include "Latin1.h"
#include "ReplyLibrary.h"
#include "RuleSet.h"
#include "SavedReplyRule.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QStringList>

namespace
{
template <typename Widget>
Widget* named(Widget* widget, const char* name)
{
    widget->setObjectName(QLatin1String(name));
    return widget;
}

bool sendsText(ActionKind kind)
{
    return kind == ActionKind::Reply || kind == ActionKind::SendInPieces;
}

bool hasDuration(ActionKind kind)
{
    return kind == ActionKind::Wait || kind == ActionKind::SendInPieces || kind == ActionKind::PauseReading;
}
}

ActionEditor::ActionEditor(QWidget* parent)
    : QWidget(parent)
{
    build();
    showRowsFor(kind);
}

void ActionEditor::build()
{
    form = new QFormLayout(this);
    form->setContentsMargins(0, 0, 0, 0);
    text = named(new QPlainTextEdit(this), "actionTextEdit");
    text->setPlaceholderText(QStringLiteral("$0 is what matched, $1 to $9 and ${name} its groups, $$ a $"));
    form->addRow(QStringLiteral("Text:"), text);
    mode = named(new QComboBox(this), "actionModeBox");
    mode->addItems({QStringLiteral("Text"), QStringLiteral("Escapes"), QStringLiteral("Hex")});
    lineEnding = named(new QComboBox(this), "actionLineEndingBox");
    lineEnding->addItems({QStringLiteral("LF"), QStringLiteral("CR LF"), QStringLiteral("CR")});
    auto* modes = new QHBoxLayout;
    modes->addWidget(mode);
    modes->addWidget(lineEnding);
    http = named(new QCheckBox(QStringLiteral("HTTP response"), this), "actionHttpBox");
    modes->addWidget(http);
    form->addRow(QStringLiteral("Read as:"), modes);
    status = named(new QLineEdit(QStringLiteral("200 OK"), this), "actionStatusEdit");
    form->addRow(QStringLiteral("Status:"), status);
    headers = named(new QPlainTextEdit(this), "actionHeadersEdit");
    headers->setPlaceholderText(QStringLiteral("Content-Type: text/html"));
    form->addRow(QStringLiteral("Header lines:"), headers);
    milliseconds = named(new QSpinBox(this), "actionMsBox");
    milliseconds->setRange(0, static_cast<int>(RuleSet::maxDuration.count()));
    milliseconds->setSuffix(QStringLiteral(" ms"));
    form->addRow(QStringLiteral("Duration:"), milliseconds);
    pieceSize = named(new QSpinBox(this), "actionPieceBox");
    pieceSize->setRange(1, static_cast<int>(RuleSet::maxPieceSize));
    pieceSize->setSuffix(QStringLiteral(" bytes"));
    form->addRow(QStringLiteral("Pieces of:"), pieceSize);
    path = named(new QLineEdit(this), "actionPathEdit");
    form->addRow(QStringLiteral("File:"), path);
    savedReplies = named(new QComboBox(this), "savedReplyBox");
    auto* take = named(new QPushButton(QStringLiteral("Use"), this), "useSavedReplyButton");
    auto* saved = new QHBoxLayout;
    saved->addWidget(savedReplies, 1);
    saved->addWidget(take);
    form->addRow(QStringLiteral("Saved reply:"), saved);
    fillSavedReplies();

    connect(take, &QPushButton::clicked, this, &ActionEditor::takeSavedReply);
    connect(&ReplyLibrary::shared(), &ReplyLibrary::repliesChanged, this, &ActionEditor::fillSavedReplies);
    const auto tell = [this] {
        if (!showing)
            emit changed();
    };
    for (QPlainTextEdit* edit : {text, headers})
        connect(edit, &QPlainTextEdit::textChanged, this, tell);
    for (QLineEdit* edit : {status, path})
        connect(edit, &QLineEdit::textChanged, this, tell);
    for (QComboBox* box : {mode, lineEnding})
        connect(box, qOverload<int>(&QComboBox::currentIndexChanged), this, tell);
    for (QSpinBox* box : {milliseconds, pieceSize})
        connect(box, qOverload<int>(&QSpinBox::valueChanged), this, tell);
    connect(http, &QCheckBox::toggled, this, [this, tell] {
        showRowsFor(kind);
        tell();
    });
}

void ActionEditor::fillSavedReplies()
{
    savedReplies->clear();
    for (const SavedReply& reply : ReplyLibrary::shared().replies().all())
        savedReplies->addItem(Latin1::toQString(reply.name));
}

// Rows in the order build() adds them.
void ActionEditor::showRowsFor(ActionKind shownKind)
{
    enum Row { Text, ReadAs, Status, Headers, Duration, Pieces, File, Saved };
    const bool textual = sendsText(shownKind);
    form->setRowVisible(Text, textual);
    form->setRowVisible(ReadAs, textual);
    form->setRowVisible(Status, textual && http->isChecked());
    form->setRowVisible(Headers, textual && http->isChecked());
    form->setRowVisible(Duration, hasDuration(shownKind));
    form->setRowVisible(Pieces, shownKind == ActionKind::SendInPieces);
    form->setRowVisible(File, shownKind == ActionKind::SendFile);
    form->setRowVisible(Saved, textual);
}

void ActionEditor::showAction(const Action& action)
{
    showing = true;
    kind = action.kind;
    text->setPlainText(Latin1::toQString(action.reply.text));
    mode->setCurrentIndex(static_cast<int>(action.reply.mode));
    lineEnding->setCurrentIndex(static_cast<int>(action.reply.lineEnding));
    http->setChecked(action.reply.http.has_value());
    status->setText(action.reply.http ? Latin1::toQString(action.reply.http->status) : QStringLiteral("200 OK"));
    QStringList lines;
    if (action.reply.http)
        for (const auto& [name, value] : action.reply.http->headers)
            lines.append(Latin1::toQString(name + ": " + value));
    headers->setPlainText(lines.join(QLatin1Char('\n')));
    milliseconds->setValue(static_cast<int>(action.duration.count()));
    pieceSize->setValue(static_cast<int>(std::max<std::size_t>(action.pieceSize, 1)));
    path->setText(QString::fromStdString(action.path));
    showRowsFor(kind);
    showing = false;
}

std::vector<std::pair<std::string, std::string>> ActionEditor::headersOf(const QString& lines)
{
    std::vector<std::pair<std::string, std::string>> result;
    for (const QString& line : lines.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const qsizetype colon = line.indexOf(QLatin1Char(':'));
        const QString name = colon < 0 ? line : line.left(colon);
        const QString value = colon < 0 ? QString() : line.mid(colon + 1).trimmed();
        result.emplace_back(Latin1::toBytes(name.trimmed()), Latin1::toBytes(value));
    }
    return result;
}

Action ActionEditor::edited() const
{
    Action action;
    action.kind = kind;
    if (sendsText(kind)) {
        action.reply.text = Latin1::toBytes(text->toPlainText());
        action.reply.mode = static_cast<InputMode>(mode->currentIndex());
        action.reply.lineEnding = static_cast<LineEnding>(lineEnding->currentIndex());
        if (http->isChecked())
            action.reply.http = RuleReply::Http{Latin1::toBytes(status->text()), headersOf(headers->toPlainText())};
    }
    if (hasDuration(kind))
        action.duration = std::chrono::milliseconds(milliseconds->value());
    if (kind == ActionKind::SendInPieces)
        action.pieceSize = static_cast<std::size_t>(pieceSize->value());
    if (kind == ActionKind::SendFile)
        action.path = path->text().toStdString();
    return action;
}

// The saved reply's text, mode and line ending, and its status and header
// lines when the action is an HTTP response.
void ActionEditor::takeSavedReply()
{
    const SavedReply* saved = ReplyLibrary::shared().replies().find(Latin1::toBytes(savedReplies->currentText()));
    if (!saved)
        return;
    Action action = edited();
    action.reply = SavedReplyRule::reply(*saved, http->isChecked());
    showAction(action);
    emit changed();
}
