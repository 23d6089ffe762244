#include "window.h"

#include <QApplication>
#include <QCursor>
#include <QImage>
#include <QMainWindow>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QSocketNotifier>
#include <QWidget>

#include <fcntl.h>
#include <unistd.h>

#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace sonarello::gui
{

std::int32_t Control::auxValue(int n) const
{
    return n >= 1 && n <= kAuxValueCount ? aux[static_cast<std::size_t>(n - 1)] : 0;
}

void Control::setAuxValue(int n, std::int32_t value)
{
    if (n >= 1 && n <= kAuxValueCount)
        aux[static_cast<std::size_t>(n - 1)] = value;
}

struct Application::Impl
{
    QApplication app;

    Impl(int& argc, char** argv) : app(argc, argv) {}
};

Application::Application(int& argc, char** argv) : impl_(std::make_unique<Impl>(argc, argv)) {}

Application::~Application() = default;

int Application::exec()
{
    return QApplication::exec();
}

void Application::processEvents()
{
    QCoreApplication::processEvents();
}

// The on-screen side of a control: paints a copy of the image, taken under the paint lock,
// and turns presses into messages for the window's event handler.
struct ControlWidget : QWidget
{
    ControlWidget(QWidget* parent, Window& ownerWindow, Control& shownControl,
                  std::recursive_mutex& imageLock)
        : QWidget(parent), owner(ownerWindow), control(shownControl), lock(imageLock)
    {
        setAttribute(Qt::WA_OpaquePaintEvent);
        setMouseTracking(true);
    }

    void paintEvent(QPaintEvent*) override
    {
        QImage copy;
        {
            std::lock_guard guard(lock);
            if (control.image.empty())
                return;
            copy = QImage(reinterpret_cast<const uchar*>(control.image.pixels.data()),
                          control.image.width, control.image.height, control.image.width * 4,
                          QImage::Format_RGB32)
                       .copy();
        }
        QPainter painter(this);
        painter.drawImage(0, 0, copy);
    }

    void mouseMoveEvent(QMouseEvent*) override
    {
        owner.sendMessage(message::kPointerOverControl, control.id, message::kMouseMove);
    }

    void mousePressEvent(QMouseEvent* event) override
    {
        if (event->button() != Qt::LeftButton)
            return;
        owner.sendMessage(message::kPointerOverControl, control.id, message::kLeftButtonDown);
        if (control.notify)
            owner.sendMessage(message::kCommand, control.id & 0xFFFF, 0);
    }

    Window& owner;
    Control& control;
    std::recursive_mutex& lock;
};

// Repaints asked for by other threads travel on a list under our own mutex; a pipe wakes the
// GUI thread, which then updates the widgets. Nothing is allocated on one thread and freed on
// the other, and the GUI thread never waits for a painting thread.
struct Window::Impl
{
    std::recursive_mutex& paintLock;
    EventHandler handler;
    std::vector<std::unique_ptr<Control>> controls;
    std::unordered_map<int, Control*> lastById;
    std::thread::id guiThread = std::this_thread::get_id();
    std::mutex pendingMutex;
    std::vector<Control*> pending;
    int wakeRead = -1;
    int wakeWrite = -1;
    // Declared after the controls so that the widgets go first.
    std::unique_ptr<QMainWindow> frame;
    QWidget* clientArea = nullptr;

    explicit Impl(std::recursive_mutex& lock) : paintLock(lock) {}

    ~Impl()
    {
        frame.reset();
        if (wakeRead >= 0)
            ::close(wakeRead);
        if (wakeWrite >= 0)
            ::close(wakeWrite);
    }

    void openWakePipe()
    {
        int fds[2];
        if (::pipe(fds) != 0)
            return;
        for (int fd : fds)
        {
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
        wakeRead = fds[0];
        wakeWrite = fds[1];
        auto* notifier = new QSocketNotifier(wakeRead, QSocketNotifier::Read, frame.get());
        QObject::connect(notifier, &QSocketNotifier::activated, frame.get(),
                         [this] { showPending(); });
    }

    // GUI thread. The pipe is emptied before the list is taken, so a wake written after
    // this point always finds its control still on the list.
    void showPending()
    {
        char buffer[64];
        while (::read(wakeRead, buffer, sizeof buffer) > 0)
        {
        }
        std::vector<Control*> due;
        {
            std::lock_guard guard(pendingMutex);
            due.swap(pending);
        }
        for (Control* control : due)
            control->widget->update();
    }

    void queueShow(Control& control)
    {
        bool wake = false;
        {
            std::lock_guard guard(pendingMutex);
            wake = pending.empty();
            pending.push_back(&control);
        }
        if (wake && wakeWrite >= 0)
        {
            const char byte = 1;
            [[maybe_unused]] const auto written = ::write(wakeWrite, &byte, 1);
        }
    }
};

Window::Window(int clientWidth, int clientHeight, std::recursive_mutex& paintLock)
    : impl_(std::make_unique<Impl>(paintLock))
{
    impl_->frame = std::make_unique<QMainWindow>();
    impl_->clientArea = new QWidget(impl_->frame.get());
    impl_->frame->setCentralWidget(impl_->clientArea);
    impl_->clientArea->setFixedSize(std::max(clientWidth, 0), std::max(clientHeight, 0));
    impl_->openWakePipe();
}

Window::~Window() = default;

void Window::setTitle(std::string_view utf8)
{
    impl_->frame->setWindowTitle(
        QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size())));
}

void Window::show()
{
    impl_->frame->show();
}

void Window::setEventHandler(EventHandler handler)
{
    impl_->handler = std::move(handler);
}

std::intptr_t Window::sendMessage(std::uint32_t message, std::intptr_t p1, std::intptr_t p2)
{
    return impl_->handler ? impl_->handler(*this, message, p1, p2) : 0;
}

Control& Window::createControl(int id, int x, int y, int width, int height, bool notify)
{
    auto control = std::make_unique<Control>();
    control->id = id;
    control->x = x;
    control->y = y;
    control->width = std::max(width, 0);
    control->height = std::max(height, 0);
    control->notify = notify;
    control->image = Image(control->width, control->height, kInitialImageColour);
    auto* widget = new ControlWidget(impl_->clientArea, *this, *control, impl_->paintLock);
    widget->setObjectName(QStringLiteral("control%1").arg(id));
    widget->setGeometry(x, y, control->width, control->height);
    widget->show();
    control->widget = widget;
    Control& created = *control;
    impl_->controls.push_back(std::move(control));
    impl_->lastById[id] = &created;
    return created;
}

Control* Window::findControl(int id)
{
    const auto found = impl_->lastById.find(id);
    return found == impl_->lastById.end() ? nullptr : found->second;
}

void Window::showControl(Control& control)
{
    if (control.widget == nullptr)
        return;
    if (std::this_thread::get_id() == impl_->guiThread)
        control.widget->update();
    else
        impl_->queueShow(control);
}

Point Window::cursorPosition() const
{
    const QPoint p = impl_->clientArea->mapFromGlobal(QCursor::pos());
    return {p.x(), p.y()};
}

void Window::setCursorPosition(Point clientPoint)
{
    QCursor::setPos(impl_->clientArea->mapToGlobal(QPoint(clientPoint.x, clientPoint.y)));
}

} // namespace sonarello::gui
