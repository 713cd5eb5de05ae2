#pragma once

#include <QColor>
#include <QString>
#include <QUrl>

#include <optional>

class QWidget;

// The window's questions, messages and pickers. The program uses the platform's dialogs; the
// tests answer them without a user.
class Dialogs {
public:
    virtual ~Dialogs() = default;
    // A question with Yes and No, Yes the default. True for Yes.
    virtual bool confirm(QWidget* parent, const QString& text) = 0;
    // A question with Yes and No where No is the default: for a step that cannot be undone.
    virtual bool confirmRisky(QWidget* parent, const QString& text) = 0;
    // A plain message with OK.
    virtual void inform(QWidget* parent, const QString& text) = 0;
    // A message in a question box with OK only: the user takes note of what will be done.
    virtual void acknowledge(QWidget* parent, const QString& text) = 0;
    // An error message with OK.
    virtual void error(QWidget* parent, const QString& text) = 0;
    // A folder chosen by the user, with a trailing "/", or nothing when cancelled. The dialog
    // opens in `start` when it names a folder.
    virtual std::optional<QString> browseForFolder(QWidget* parent, const QString& title,
                                                   const QString& start = {}) = 0;
    // A colour chosen in the colour dialog, which opens with `initial`; nothing when cancelled.
    virtual std::optional<QColor> chooseColor(QWidget* parent, const QColor& initial) = 0;
    // A file name for saving, starting from `proposed`; nothing when cancelled.
    virtual std::optional<QString> saveFileName(QWidget* parent, const QString& title,
                                                const QString& proposed, const QString& filter) = 0;
    // Opens a file with its default application; false when no program could be started.
    virtual bool openFile(const QByteArray& path) = 0;
    // Shows the file's folder in the file manager with the file selected; false when neither a
    // file manager nor a program for the folder could be started.
    virtual bool showInFolder(const QByteArray& path) = 0;
};

class PlatformDialogs : public Dialogs {
public:
    bool confirm(QWidget* parent, const QString& text) override;
    bool confirmRisky(QWidget* parent, const QString& text) override;
    void inform(QWidget* parent, const QString& text) override;
    void acknowledge(QWidget* parent, const QString& text) override;
    void error(QWidget* parent, const QString& text) override;
    std::optional<QString> browseForFolder(QWidget* parent, const QString& title,
                                           const QString& start = {}) override;
    std::optional<QColor> chooseColor(QWidget* parent, const QColor& initial) override;
    std::optional<QString> saveFileName(QWidget* parent, const QString& title,
                                        const QString& proposed, const QString& filter) override;
    bool openFile(const QByteArray& path) override;
    bool showInFolder(const QByteArray& path) override;
};

// A file URL for a path of raw bytes: every byte survives, also in names that are not UTF-8.
QUrl fileUrl(const QByteArray& path);

// Two-part messages are written with line feed, carriage return, line feed, carriage return
// between the parts; a message box shows that as one empty line.
QString messageBoxText(const QString& text);
