#pragma once

#include <QColor>
#include <QString>

#include <optional>

class QWidget;

// The window's questions, messages and pickers. The program uses the platform's dialogs; the
// tests answer them without a user.
class Dialogs {
public:
    virtual ~Dialogs() = default;
    // A question with Yes and No, Yes the default. True for Yes.
    virtual bool confirm(QWidget* parent, const QString& text) = 0;
    // A plain message with OK.
    virtual void inform(QWidget* parent, const QString& text) = 0;
    // An error message with OK.
    virtual void error(QWidget* parent, const QString& text) = 0;
    // A folder chosen by the user, with a trailing "/", or nothing when cancelled.
    virtual std::optional<QString> browseForFolder(QWidget* parent, const QString& title) = 0;
};

class PlatformDialogs : public Dialogs {
public:
    bool confirm(QWidget* parent, const QString& text) override;
    void inform(QWidget* parent, const QString& text) override;
    void error(QWidget* parent, const QString& text) override;
    std::optional<QString> browseForFolder(QWidget* parent, const QString& title) override;
};

// Two-part messages are written with line feed, carriage return, line feed, carriage return
// between the parts; a message box shows that as one empty line.
QString messageBoxText(const QString& text);
