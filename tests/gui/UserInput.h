#pragma once

// Drives the window the way a person does: mouse clicks on the widget under the pointer, keys
// through the window system to whichever widget has the focus, menus opened and chosen from.
// Focus proxies, event filters and popups all take part, as they do for a user.

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QDeadlineTimer>
#include <QMenu>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <QWindow>

namespace user {

// Shows a top-level window and waits until it has the keyboard.
inline bool showActive(QWidget* window) {
    window->show();
    window->activateWindow();
    return QTest::qWaitForWindowActive(window);
}

inline QWindow* keyboardWindow() {
    if (QWidget* popup = QApplication::activePopupWidget())
        return popup->windowHandle();
    if (QWindow* window = QGuiApplication::focusWindow())
        return window;
    // The offscreen platform gives no window the keyboard back after a menu closes; a window
    // system would give it to the active window.
    if (QWidget* active = QApplication::activeWindow())
        return active->windowHandle();
    QWidget* focused = QApplication::focusWidget();
    return focused != nullptr ? focused->window()->windowHandle() : nullptr;
}

// A key pressed and released, delivered as the window system delivers it.
inline void press(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QTest::keyClick(keyboardWindow(), key, modifiers);
}

// Text typed key by key (printable ASCII).
inline void type(const QString& text) {
    for (QChar c : text)
        QTest::keyClick(keyboardWindow(), c.toLatin1());
}

inline void click(QWidget* widget, QPoint at = QPoint(), Qt::MouseButton button = Qt::LeftButton) {
    QTest::mouseClick(widget, button, Qt::NoModifier, at);
}

// A right click that asks for a context menu. The window system turns a right press into a
// context menu request; the offscreen platform of the tests does not always, so the request
// follows the click the way a window system sends it.
inline void rightClick(QWidget* widget, QPoint at) {
    click(widget, at, Qt::RightButton);
    if (QApplication::activePopupWidget() == nullptr) {
        QContextMenuEvent request(QContextMenuEvent::Mouse, at, widget->mapToGlobal(at));
        QApplication::sendEvent(widget, &request);
    }
}

inline void doubleClick(QWidget* widget, QPoint at = QPoint()) {
    QTest::mouseDClick(widget, Qt::LeftButton, Qt::NoModifier, at);
}

inline QWidget* focus() {
    return QApplication::focusWidget();
}

inline QString plainCaption(QAction* action) {
    QString text = action->text();
    text.remove(QLatin1Char('&'));
    return text.trimmed();
}

inline QAction* actionIn(QMenu* menu, const QString& caption) {
    for (QAction* action : menu->actions()) {
        if (action->isVisible() && plainCaption(action) == caption)
            return action;
    }
    return nullptr;
}

// The open menu that offers `caption`, if any.
inline QMenu* openMenuWith(const QString& caption) {
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    return menu != nullptr && actionIn(menu, caption) != nullptr ? menu : nullptr;
}

// Once a menu opens, clicks its entries along `path` (captions without "&"): submenus open as
// they are clicked. Call before the click or key that opens the menu, which may not return until
// the menu closes (QTest runs the event loop after each key, so the watch must not block). An
// entry that does not appear, or is disabled, closes the menus; `chosen` says whether the last
// entry was clicked.
inline void chooseFromMenu(const QStringList& path, bool* chosen = nullptr) {
    if (chosen != nullptr)
        *chosen = false;
    auto* watch = new QTimer;
    watch->setInterval(10);
    const QDeadlineTimer deadline(5000);
    QObject::connect(watch, &QTimer::timeout, [watch, deadline, path, chosen] {
        if (openMenuWith(path.first()) == nullptr && !deadline.hasExpired())
            return;
        watch->stop();
        watch->deleteLater();
        for (const QString& caption : path) {
            QMenu* menu = nullptr;
            if (!QTest::qWaitFor([&] { return (menu = openMenuWith(caption)) != nullptr; }, 3000))
                menu = nullptr;
            QAction* action = menu != nullptr ? actionIn(menu, caption) : nullptr;
            if (action == nullptr || !action->isEnabled()) {
                while (QWidget* popup = QApplication::activePopupWidget())
                    popup->close();
                return;
            }
            QTest::mouseMove(menu->windowHandle(), menu->actionGeometry(action).center());
            click(menu, menu->actionGeometry(action).center());
        }
        if (chosen != nullptr)
            *chosen = true;
    });
    watch->start();
}

// Clicks a button that opens a menu and chooses along `path` in it; true when the last entry
// was clicked.
inline bool chooseFrom(QWidget* button, const QStringList& path) {
    bool chosen = false;
    chooseFromMenu(path, &chosen);
    click(button);
    return QTest::qWaitFor([&] { return chosen; }, 3000);
}

// Where a row's check box is drawn in an item view.
inline QPoint checkBoxOf(QAbstractItemView* view, const QModelIndex& index) {
    QStyleOptionViewItem option;
    option.initFrom(view);
    option.rect = view->visualRect(index);
    option.features |= QStyleOptionViewItem::HasCheckIndicator;
    option.features |= QStyleOptionViewItem::HasDisplay;
    option.text = index.data().toString();
    return view->style()
        ->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, view)
        .center();
}

// Clicks a cell of an item view.
inline void clickCell(QAbstractItemView* view, const QModelIndex& index) {
    click(view->viewport(), view->visualRect(index).center());
}

} // namespace user
