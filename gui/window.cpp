#include "window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QCursor>
#include <QDialog>
#include <QEventLoop>
#include <QImage>
#include <QKeyEvent>
#include <QMainWindow>
#include <QMenuBar>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPointer>
#include <QScreen>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
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

    // While a button is held Qt keeps sending the moves to the widget where the press began:
    // the message names the control under the pointer instead.
    void mouseMoveEvent(QMouseEvent*) override
    {
        if (Control* under = owner.controlAtCursor())
            owner.sendMessage(message::kPointerOverControl, under->id, message::kMouseMove);
    }

    void mousePressEvent(QMouseEvent* event) override
    {
        const bool left = event->button() == Qt::LeftButton;
        if (!left && event->button() != Qt::RightButton)
            return;
        owner.sendMessage(message::kPointerOverControl, control.id,
                          left ? message::kLeftButtonDown : message::kRightButtonDown);
        if (left && control.notify)
            owner.sendMessage(message::kCommand, control.id & 0xFFFF, 0);
    }

    Window& owner;
    Control& control;
    std::recursive_mutex& lock;
};

// The top-level window: its close box and the Escape key send the cancel command instead of
// closing; only end() closes it.
struct Frame : QMainWindow
{
    explicit Frame(Window& ownerWindow) : owner(ownerWindow) {}

    void closeEvent(QCloseEvent* event) override
    {
        if (ending)
            return event->accept();
        event->ignore();
        owner.sendMessage(message::kCommand, message::kCancelCommand, 0);
    }

    void keyPressEvent(QKeyEvent* event) override
    {
        if (event->key() == Qt::Key_Escape)
            owner.sendMessage(message::kCommand, message::kCancelCommand, 0);
        else
            QMainWindow::keyPressEvent(event);
    }

    Window& owner;
    bool ending = false;
};

// Remembers every press of the two buttons until the next read of that button.
struct ButtonTracker : QObject
{
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::MouseButtonPress ||
            event->type() == QEvent::MouseButtonDblClick)
        {
            const auto button = static_cast<QMouseEvent*>(event)->button();
            if (button == Qt::LeftButton)
                leftPressed = true;
            else if (button == Qt::RightButton)
                rightPressed = true;
        }
        return QObject::eventFilter(watched, event);
    }

    bool leftPressed = false;
    bool rightPressed = false;
};

// Repaints asked for by other threads, kept under a lock of our own and handed to the GUI
// thread by a wake on an eventfd that it watches: nothing of ours crosses threads inside Qt's
// event queue, whose own lock the thread sanitizer cannot see.
class RepaintQueue
{
  public:
    RepaintQueue() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~RepaintQueue()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    RepaintQueue(const RepaintQueue&) = delete;
    RepaintQueue& operator=(const RepaintQueue&) = delete;

    // GUI thread, once: `parent` owns the watch.
    void watch(QObject* parent)
    {
        if (fd_ < 0)
            return;
        auto* notifier = new QSocketNotifier(fd_, QSocketNotifier::Read, parent);
        QObject::connect(notifier, &QSocketNotifier::activated, parent, [this] { deliver(); });
    }

    // any thread
    void post(QWidget* widget)
    {
        bool first = false;
        {
            std::lock_guard lock(mutex_);
            first = pending_.empty();
            if (std::find(pending_.begin(), pending_.end(), widget) == pending_.end())
                pending_.push_back(widget);
        }
        const std::uint64_t one = 1;
        if (first && fd_ >= 0 && ::write(fd_, &one, sizeof one) < 0)
            return; // the counter is full: a wake is pending anyway
    }

  private:
    // GUI thread
    void deliver()
    {
        std::uint64_t count = 0;
        if (::read(fd_, &count, sizeof count) < 0 && errno != EAGAIN)
            return;
        std::vector<QWidget*> widgets;
        {
            std::lock_guard lock(mutex_);
            widgets.swap(pending_);
        }
        for (QWidget* widget : widgets)
            widget->update();
    }

    int fd_;
    std::mutex mutex_;
    std::vector<QWidget*> pending_;
};

struct Window::Impl
{
    std::recursive_mutex& paintLock;
    EventHandler handler;
    std::vector<std::unique_ptr<Control>> controls;
    std::unordered_map<int, Control*> lastById;
    std::thread::id guiThread = std::this_thread::get_id();
    // Declared after the controls so that the widgets go first.
    std::unique_ptr<Frame> frame;
    QWidget* background = nullptr;
    QWidget* clientArea = nullptr;
    std::unordered_map<int, QTimer*> timers;
    ButtonTracker buttons;
    RepaintQueue repaints; // its watch belongs to the frame, which goes first
    QEventLoop* loop = nullptr;
    bool ended = false;
    int result = 0;

    explicit Impl(std::recursive_mutex& lock) : paintLock(lock) {}
    ~Impl() { frame.reset(); }
};

Window::Window(int clientWidth, int clientHeight, std::recursive_mutex& paintLock)
    : impl_(std::make_unique<Impl>(paintLock))
{
    impl_->frame = std::make_unique<Frame>(*this);
    // The client area keeps its size and place; a larger window shows more background.
    impl_->background = new QWidget(impl_->frame.get());
    impl_->background->setAutoFillBackground(true);
    impl_->frame->setCentralWidget(impl_->background);
    impl_->clientArea = new QWidget(impl_->background);
    impl_->clientArea->setGeometry(0, 0, std::max(clientWidth, 0), std::max(clientHeight, 0));
    impl_->background->setMinimumSize(impl_->clientArea->size());
    impl_->frame->resize(impl_->clientArea->size());
    impl_->repaints.watch(impl_->frame.get());
    qApp->installEventFilter(&impl_->buttons);
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

void Window::setColours(Colour background, Colour text)
{
    auto toQt = [](Colour c) { return QColor(redOf(c), greenOf(c), blueOf(c)); };
    QPalette palette = impl_->background->palette();
    palette.setColor(QPalette::Window, toQt(background));
    palette.setColor(QPalette::WindowText, toQt(text));
    impl_->background->setPalette(palette);
}

void Window::centre()
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    impl_->frame->adjustSize();
    const QRect area = screen->availableGeometry();
    const QSize size = impl_->frame->frameGeometry().size();
    const int x = area.x() + std::max(0, (area.width() - size.width()) / 2);
    const int y = area.y() + std::max(0, (area.height() - size.height()) / 2);
    impl_->frame->move(x, y);
}

namespace
{

// The one device dialog that may be open; the main window's end closes it with nothing
// chosen, so that no dialog keeps the program running after its window.
QPointer<QDialog> openChooser;

} // namespace

int Window::run()
{
    QEventLoop loop;
    impl_->loop = &loop;
    sendMessage(message::kInitialise, 0, 0);
    if (!impl_->ended)
    {
        show();
        loop.exec();
    }
    impl_->loop = nullptr;
    sendMessage(message::kDestroy, 0, 0);
    return impl_->result;
}

void Window::end(int result)
{
    impl_->result = result;
    impl_->ended = true;
    impl_->frame->ending = true;
    if (openChooser)
        openChooser->reject();
    impl_->frame->close();
    if (impl_->loop)
        impl_->loop->quit();
    impl_->loop = nullptr;
}

bool Window::visible() const
{
    return impl_->frame->isVisible();
}

void Window::addMenu(std::string_view title, const std::vector<std::pair<std::string, int>>& items)
{
    QMenu* menu = impl_->frame->menuBar()->addMenu(
        QString::fromUtf8(title.data(), static_cast<qsizetype>(title.size())));
    for (const auto& [text, command] : items)
    {
        QAction* action = menu->addAction(QString::fromStdString(text));
        QObject::connect(action, &QAction::triggered, impl_->frame.get(),
                         [this, command = command] { sendMessage(message::kCommand, command, 0); });
    }
}

void Window::setTimer(int id, int periodMs)
{
    QTimer*& timer = impl_->timers[id];
    if (!timer)
    {
        timer = new QTimer(impl_->frame.get());
        QObject::connect(timer, &QTimer::timeout, impl_->frame.get(),
                         [this, id] { sendMessage(message::kTimer, id, 0); });
    }
    timer->start(std::max(periodMs, 1));
}

void Window::killTimer(int id)
{
    if (const auto found = impl_->timers.find(id); found != impl_->timers.end())
        found->second->stop();
}

std::int16_t Window::buttonState(int button)
{
    const Qt::MouseButton qtButton = button == kLeftMouseButton ? Qt::LeftButton : Qt::RightButton;
    bool& pressed =
        button == kLeftMouseButton ? impl_->buttons.leftPressed : impl_->buttons.rightPressed;
    const bool down = (QGuiApplication::mouseButtons() & qtButton) != 0;
    const std::int16_t state = static_cast<std::int16_t>((down ? kButtonDown : 0) |
                                                         (pressed ? kButtonPressedSinceRead : 0));
    pressed = false;
    return state;
}

Control* Window::controlAtCursor()
{
    QWidget* under = impl_->clientArea->childAt(impl_->clientArea->mapFromGlobal(QCursor::pos()));
    auto* widget = dynamic_cast<ControlWidget*>(under);
    return widget ? &widget->control : nullptr;
}

void showMessageBox(std::string_view title, std::string_view text)
{
    QMessageBox box(
        QMessageBox::NoIcon, QString::fromUtf8(title.data(), static_cast<qsizetype>(title.size())),
        QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())), QMessageBox::Ok);
    box.exec();
}

int chooseFromList(std::string_view title, int width, int height,
                   const std::vector<std::string>& entries)
{
    QPointer<QDialog>& open = openChooser;
    if (open)
    {
        open->raise();
        open->activateWindow();
        return -1;
    }
    QDialog dialog;
    open = &dialog;
    dialog.setWindowTitle(QString::fromUtf8(title.data(), static_cast<qsizetype>(title.size())));
    dialog.setWindowModality(Qt::NonModal);
    // A top-level window of its own, with the boxes of one: QDialog would drop the minimise
    // and maximise boxes.
    dialog.setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                          Qt::WindowCloseButtonHint);
    dialog.resize(width, height);
    auto* list = new QComboBox(&dialog);
    list->setObjectName(QStringLiteral("devices"));
    list->setGeometry(15, 15, std::max(width - 30, 40), 24);
    for (const auto& entry : entries)
        list->addItem(QString::fromStdString(entry));
    list->setCurrentIndex(entries.empty() ? -1 : 0);
    int chosen = -1;
    QObject::connect(list, &QComboBox::activated, &dialog,
                     [&](int index)
                     {
                         chosen = index;
                         dialog.accept();
                     });
    QEventLoop loop;
    QObject::connect(&dialog, &QDialog::finished, &loop, &QEventLoop::quit);
    dialog.show();
    loop.exec();
    return chosen;
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
    else // the window's widgets live as long as the window
        impl_->repaints.post(control.widget);
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
