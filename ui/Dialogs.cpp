#include "ui/Dialogs.h"

#include <QApplication>
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

void PlatformDialogs::inform(QWidget* parent, const QString& text) {
    QMessageBox::information(parent, QApplication::applicationDisplayName(), messageBoxText(text));
}

void PlatformDialogs::error(QWidget* parent, const QString& text) {
    QMessageBox::critical(parent, QApplication::applicationDisplayName(), messageBoxText(text));
}

std::optional<QString> PlatformDialogs::browseForFolder(QWidget* parent, const QString& title) {
    QString folder =
        QFileDialog::getExistingDirectory(parent, title, QString(), QFileDialog::ShowDirsOnly);
    if (folder.isEmpty())
        return std::nullopt;
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');
    return folder;
}
