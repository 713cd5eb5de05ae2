#include "ui/Dialogs.h"

#include <QApplication>
#include <QColorDialog>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>

QString messageBoxText(const QString& text) {
    QString shown = text;
    shown.replace(QStringLiteral("\n\r\n\r"), QStringLiteral("\n\n"));
    return shown;
}

bool PlatformDialogs::confirm(QWidget* parent, const QString& text) {
    return QMessageBox::question(parent, QApplication::applicationDisplayName(),
                                 messageBoxText(text), QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::Yes) == QMessageBox::Yes;
}

bool PlatformDialogs::confirmRisky(QWidget* parent, const QString& text) {
    return QMessageBox::question(parent, QApplication::applicationDisplayName(),
                                 messageBoxText(text), QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

void PlatformDialogs::inform(QWidget* parent, const QString& text) {
    QMessageBox::information(parent, QApplication::applicationDisplayName(), messageBoxText(text));
}

void PlatformDialogs::acknowledge(QWidget* parent, const QString& text) {
    QMessageBox::question(parent, QApplication::applicationDisplayName(), messageBoxText(text),
                          QMessageBox::Ok, QMessageBox::Ok);
}

void PlatformDialogs::error(QWidget* parent, const QString& text) {
    QMessageBox::critical(parent, QApplication::applicationDisplayName(), messageBoxText(text));
}

std::optional<QString> PlatformDialogs::browseForFolder(QWidget* parent, const QString& title,
                                                        const QString& start) {
    QString folder =
        QFileDialog::getExistingDirectory(parent, title, start, QFileDialog::ShowDirsOnly);
    if (folder.isEmpty())
        return std::nullopt;
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');
    return folder;
}

std::optional<QColor> PlatformDialogs::chooseColor(QWidget* parent, const QColor& initial) {
    QColor colour = QColorDialog::getColor(initial, parent);
    if (!colour.isValid())
        return std::nullopt;
    return colour;
}

std::optional<QString> PlatformDialogs::saveFileName(QWidget* parent, const QString& title,
                                                     const QString& proposed,
                                                     const QString& filter) {
    QFileDialog dialog(parent, title, proposed, filter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QStringLiteral("txt"));
    // The design replaces an existing file without asking.
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    dialog.selectFile(proposed);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return dialog.selectedFiles().first();
}

QUrl fileUrl(const QByteArray& path) {
    return QUrl::fromEncoded("file://" + path.toPercentEncoding("/"));
}

bool PlatformDialogs::openFile(const QByteArray& path) {
    return QDesktopServices::openUrl(fileUrl(path));
}

bool PlatformDialogs::showInFolder(const QByteArray& path) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"),
        QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{QString::fromLatin1(fileUrl(path).toEncoded())} << QString();
    QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 3000);
    if (reply.type() == QDBusMessage::ReplyMessage)
        return true;
    // No file manager answers: open the folder itself.
    const qsizetype slash = path.lastIndexOf('/');
    return QDesktopServices::openUrl(fileUrl(path.left(slash + 1)));
}
