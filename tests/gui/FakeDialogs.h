#pragma once

#include "ui/Dialogs.h"

#include <QByteArrayList>
#include <QList>
#include <QStringList>

// Answers the window's questions without a user and remembers what was asked.
class FakeDialogs : public Dialogs {
public:
    QStringList confirms;
    QStringList messages;
    QStringList errors;
    QList<bool> answers; // the next answers to questions; Yes when empty
    std::optional<QString> folder;
    std::optional<QColor> colour;
    QColor lastInitialColour;
    std::optional<QString> saveAs;
    QString proposedSaveName;
    QByteArrayList opened;
    QByteArrayList shown;

    bool confirm(QWidget*, const QString& text) override {
        confirms << text;
        return answers.isEmpty() ? true : answers.takeFirst();
    }
    void inform(QWidget*, const QString& text) override { messages << text; }
    void error(QWidget*, const QString& text) override { errors << text; }
    std::optional<QString> browseForFolder(QWidget*, const QString&) override { return folder; }
    std::optional<QColor> chooseColor(QWidget*, const QColor& initial) override {
        lastInitialColour = initial;
        return colour;
    }
    std::optional<QString> saveFileName(QWidget*, const QString&, const QString& proposed,
                                        const QString&) override {
        proposedSaveName = proposed;
        return saveAs;
    }
    void openFile(const QByteArray& path) override { opened << path; }
    void showInFolder(const QByteArray& path) override { shown << path; }
};
