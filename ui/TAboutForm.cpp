#include "ui/TAboutForm.h"

#include <QDesktopServices>
#include <QEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QUrl>
#include <QWindow>

const char* const TAboutForm::kMakerSite = "https://hollowbright.example/twinscope";

// A window of its own, not a child of the main window: the main window is disabled while this
// one shows, and a child would be drawn disabled (greyed) with it.
TAboutForm::TAboutForm(QWidget* mainWindow)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint), m_mainWindow(mainWindow) {
    setWindowTitle(QStringLiteral("About Twinscope"));
    setFixedSize(469, 254);
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, Qt::white);
    setPalette(palette);

    ImgAbout = new QLabel(this);
    ImgAbout->setGeometry(0, 0, 469, 254);
    ImgAbout->setPixmap(QPixmap(QStringLiteral(":/twinscope/about.png")));
    ImgAbout->installEventFilter(this);

    Image1 = new QLabel(this);
    Image1->setGeometry(310, 218, 132, 18);
    Image1->setAttribute(Qt::WA_TranslucentBackground);
    Image1->setCursor(Qt::PointingHandCursor);
    Image1->installEventFilter(this);

    openUrl = [](const QString& address) { QDesktopServices::openUrl(QUrl(address)); };
}

void TAboutForm::showEvent(QShowEvent* event) {
    if (m_mainWindow != nullptr) {
        // Kept above the main window by the window manager.
        if (windowHandle() != nullptr && m_mainWindow->windowHandle() != nullptr)
            windowHandle()->setTransientParent(m_mainWindow->windowHandle());
        move(m_mainWindow->geometry().center() - rect().center());
        m_mainWindow->setEnabled(false);
    }
    QWidget::showEvent(event);
    activateWindow(); // the keyboard comes here, away from the disabled main window
}

void TAboutForm::hideEvent(QHideEvent* event) {
    if (m_mainWindow != nullptr)
        m_mainWindow->setEnabled(true);
    QWidget::hideEvent(event);
}

void TAboutForm::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape)
        hide(); // as a click on the picture does
    else
        QWidget::keyPressEvent(event);
}

bool TAboutForm::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonPress && (watched == Image1 || watched == ImgAbout))
        return true;
    if (event->type() == QEvent::MouseButtonRelease) {
        if (watched == Image1) {
            Image1Click();
            return true;
        }
        if (watched == ImgAbout) {
            ImgAboutClick();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void TAboutForm::ImgAboutClick() {
    hide();
}

void TAboutForm::Image1Click() {
    openUrl(QString::fromLatin1(kMakerSite));
}
