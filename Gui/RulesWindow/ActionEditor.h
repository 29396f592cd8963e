#pragma once

#include "Action.h"

#include <QWidget>

class QCheckBox;
class QComboBox;
class QFormLayout;
class QLineEdit;
class QPlainTextEdit;
class QSpinBox;

// The fields of one action of a rule, those its kind uses shown: the text
// of a reply (as typed, with escapes or in hex, with its line ending, as an
// HTTP response with status and header lines), a duration, a piece size or
// a file. A saved reply can be taken as the reply.
class ActionEditor : public QWidget
{
    Q_OBJECT

public:
    explicit ActionEditor(QWidget* parent);

    void showAction(const Action& action);
    // The action as the fields have it now.
    Action edited() const;

signals:
    void changed();

private:
    void build();
    void showRowsFor(ActionKind kind);
    void takeSavedReply();
    void fillSavedReplies();
    static std::vector<std::pair<std::string, std::string>> headersOf(const QString& text);

    ActionKind kind = ActionKind::Reply;
    bool showing = false;
    QFormLayout* form = nullptr;
    QPlainTextEdit* text = nullptr;
    QComboBox* mode = nullptr;
    QComboBox* lineEnding = nullptr;
    QCheckBox* http = nullptr;
    QLineEdit* status = nullptr;
    QPlainTextEdit* headers = nullptr;
    QSpinBox* milliseconds = nullptr;
    QSpinBox* pieceSize = nullptr;
    QLineEdit* path = nullptr;
    QComboBox* savedReplies = nullptr;
};
