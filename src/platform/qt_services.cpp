#include "platform/qt_services.h"

#include <QApplication>
#include <QDateTime>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>
#include <QThread>
#include <chrono>
#include <ctime>

namespace platform {

SystemClock::SystemClock() = default;

std::int64_t SystemClock::performanceCounter() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::uint32_t SystemClock::tickCount() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                                      static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u);
}

void SystemClock::sleepMs(std::uint32_t ms) { QThread::msleep(ms); }

usb::LocalDateTime SystemClock::localNow() {
    const QDateTime now = QDateTime::currentDateTime();
    const QDate d = now.date();
    const QTime t = now.time();
    return {d.year(), d.month(), d.day(), t.hour(), t.minute(), t.second()};
}

namespace {

void centredModal(QMessageBox::Icon icon, const QString& title, const std::string& text) {
    QMessageBox box(icon, title, QString::fromLocal8Bit(text.c_str()), QMessageBox::Ok);
    box.setWindowModality(Qt::ApplicationModal);
    box.adjustSize();
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        box.move(area.center() - box.rect().center());
    }
    box.exec();
}

}  // namespace

void QtDialogs::errorDialog(const std::string& message) {
    centredModal(QMessageBox::Critical, "Error", message);
}

void QtDialogs::messageBox(const std::string& text) {
    centredModal(QMessageBox::NoIcon, QApplication::applicationName(), text);
}

PrintedDialogs::PrintedDialogs(std::function<void(const std::string&)> print)
    : print_(std::move(print)) {}

}  // namespace platform
