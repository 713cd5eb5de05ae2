#pragma once

#include "ui/Dialogs.h"

#include <QByteArrayList>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QStringList>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>

// Answers the window's questions without a user and remembers what was asked.
class FakeDialogs : public Dialogs {
public:
    QStringList confirms;
    QStringList riskyConfirms; // also in confirms
    QStringList messages;
    QStringList acknowledgements; // shown in question boxes with OK only
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
    bool confirmRisky(QWidget* parent, const QString& text) override {
        riskyConfirms << text;
        return confirm(parent, text);
    }
    void inform(QWidget*, const QString& text) override { messages << text; }
    void acknowledge(QWidget*, const QString& text) override { acknowledgements << text; }
    void error(QWidget*, const QString& text) override { errors << text; }
    QString lastBrowseStart;
    std::optional<QString> browseForFolder(QWidget*, const QString&,
                                           const QString& start) override {
        lastBrowseStart = start;
        return folder;
    }
    std::optional<QColor> chooseColor(QWidget*, const QColor& initial) override {
        lastInitialColour = initial;
        return colour;
    }
    std::optional<QString> saveFileName(QWidget*, const QString&, const QString& proposed,
                                        const QString&) override {
        proposedSaveName = proposed;
        return saveAs;
    }
    bool openFile(const QByteArray& path) override {
        opened << path;
        return programs;
    }
    bool showInFolder(const QByteArray& path) override {
        shown << path;
        return programs;
    }
    bool programs = true; // whether a program opens files and folders
};

inline QString readText(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("<missing>");
    return QString::fromUtf8(file.readAll());
}

inline void writeText(const QString& path, const QByteArray& content) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

inline void makeSparse(const QString& path, qint64 size) {
    int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT, 0644);
    QVERIFY(fd >= 0);
    QCOMPARE(::ftruncate(fd, size), 0);
    ::close(fd);
}
