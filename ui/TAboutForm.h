#pragma once

#include <QWidget>

#include <functional>

class QLabel;

// The About window: a borderless picture. A click on it hides it; a click on the maker's web
// address opens the web site. The main window is disabled while it shows.
class TAboutForm : public QWidget {
    Q_OBJECT
public:
    explicit TAboutForm(QWidget* mainWindow);

    static const char* const kMakerSite;

    QLabel* ImgAbout = nullptr;
    QLabel* Image1 = nullptr;

    void ImgAboutClick();
    void Image1Click();

    // Opens a web address; tests replace it.
    std::function<void(const QString&)> openUrl;

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* m_mainWindow;
};
