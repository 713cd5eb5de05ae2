#pragma once

#include "search/SearchOptions.h"

#include <QDialog>

class Dialogs;
class QDialogButtonBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTreeWidget;

// What a search covers beside the main folder: further folders, each Normal or Reference, the
// patterns it leaves out, and the smallest and largest size it compares. OK takes the scope only
// when every entry holds; otherwise the dialog says what is wrong and stays.
class TSearchScopeForm : public QDialog {
    Q_OBJECT
public:
    TSearchScopeForm(Dialogs& dialogs, const SearchScope& scope, QWidget* parent);

    // The scope as the dialog holds it; valid once accepted.
    const SearchScope& scope() const { return m_scope; }

    QTreeWidget* lvFolders = nullptr;
    QPushButton* btAddFolder = nullptr;
    QPushButton* btRemoveFolder = nullptr;
    QPushButton* btSwitchKind = nullptr;
    QPlainTextEdit* mePatterns = nullptr;
    QLineEdit* eMinSize = nullptr;
    QLineEdit* eMaxSize = nullptr;
    QDialogButtonBox* Buttons = nullptr;

    void btAddFolderClick();
    void btRemoveFolderClick();
    void btSwitchKindClick();

    void accept() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void addFolder(const SearchFolder& folder);
    void updateButtons();
    bool refuse(QWidget* field, const QString& text);

    Dialogs& m_dialogs;
    SearchScope m_scope;
};
