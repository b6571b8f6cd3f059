// The unattended bench run of --do: after start-up, the steps are performed
// one by one from a timer, so that they also act while a handler lets the
// message loop run (the transport-stream pump does).
#pragma once

#include <QObject>
#include <QTimer>
#include <functional>
#include <string>
#include <vector>

namespace ui {
class TForm1;
}

namespace app {

class BenchRun : public QObject {
public:
    static constexpr int StepIntervalMs = 100;

    BenchRun(ui::TForm1& form, std::vector<std::string> steps,
             std::function<void(const std::string&)> report);
    void start();
    bool finished() const { return next_ >= steps_.size(); }

private:
    void runNext();
    // Clicks the named control as the operator would; false if there is none.
    bool click(const std::string& name);

    ui::TForm1& form_;
    std::vector<std::string> steps_;
    std::function<void(const std::string&)> report_;
    std::size_t next_ = 0;
    QTimer timer_;
};

}  // namespace app
