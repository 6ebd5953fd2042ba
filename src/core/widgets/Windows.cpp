#include "core/widgets/Windows.h"

#include <QApplication>
#include <QEvent>
#include <QPointer>
#include <QScreen>
#include <QWidget>
#include <QWindow>

#include <algorithm>

namespace {

// Message boxes, dialogs, tool windows and the main window; not menus,
// pop-up lists or hints, which the toolkit places and sizes itself.
bool IsCaredFor(const QWidget* w)
{
    if (!w || !w->isWindow())
        return false;
    const Qt::WindowType type = w->windowType();
    return type == Qt::Window || type == Qt::Dialog || type == Qt::Tool;
}

QRect FreeArea(const QWidget& w)
{
    const QScreen* screen = w.screen();
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect();
}

class TWindowCare : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Show && watched->isWidgetType()) {
            auto* w = static_cast<QWidget*>(watched);
            if (IsCaredFor(w))
                Showing(*w);
        } else if (event->type() == QEvent::Expose && watched->isWindowType()) {
            Exposed(*static_cast<QWindow*>(watched));
        }
        return false;
    }

private:
    // Sent before the window is mapped: size and place are right from the
    // first frame on.
    void Showing(QWidget& w)
    {
        const QSize size = SizeShowingContent(w);
        if (size != w.size())
            w.resize(size);
        const QRect area = FreeArea(w);
        if (!area.isEmpty()) {
            QRect frame(w.pos(), w.frameSize());
            const QPoint inside(std::clamp(frame.x(), area.left(), std::max(area.left(), area.right() + 1 - frame.width())),
                                std::clamp(frame.y(), area.top(), std::max(area.top(), area.bottom() + 1 - frame.height())));
            if (inside != frame.topLeft())
                w.move(inside);
        }
        if (QWindow* window = w.windowHandle())
            Awaiting.append(window);
    }

    // The first exposure after a show: the whole window is painted again now
    // that the server shows it, whatever went to it before.
    void Exposed(QWindow& window)
    {
        if (!window.isExposed() || !Awaiting.removeOne(&window))
            return;
        Awaiting.removeAll(nullptr);
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->windowHandle() == &window)
                w->update();
    }

    QList<QPointer<QWindow>> Awaiting;
};

} // namespace

void CareForWindows(QApplication& app)
{
    static QPointer<TWindowCare> care;
    if (!care) {
        care = new TWindowCare(&app);
        app.installEventFilter(care);
    }
}

QSize SizeShowingContent(const QWidget& window)
{
    QSize size = window.size().expandedTo(window.sizeHint()).expandedTo(window.minimumSize());
    const QRect area = FreeArea(window);
    if (!area.isEmpty())
        size = size.boundedTo(area.size() - (window.frameSize() - window.size()));
    return size.boundedTo(window.maximumSize()).expandedTo(window.minimumSize());
}
