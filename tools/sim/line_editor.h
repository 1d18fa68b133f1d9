// line_editor.h - the virtual MCU's console on a terminal: a prompt, line
// editing, history (kept in ~/.mcu_agent_sim_history) and completion of
// command words, key names, message names, state keys and fields, through
// libedit's readline interface.  It reads a character at a time when the
// poll loop finds standard input readable, so serving never waits for a
// line to be finished.
#ifndef MCU_SIM_LINE_EDITOR_H
#define MCU_SIM_LINE_EDITOR_H

#include <functional>
#include <string>

namespace mcu_sim {

class LineEditor {
public:
    using LineHandler = std::function<void(const std::string &line)>;
    using EndHandler = std::function<void()>;

    ~LineEditor() { stop(); }

    // Starts editing when standard input is a terminal and the program was
    // built with libedit; false otherwise, and the caller reads plain lines.
    bool start(const char *prompt, LineHandler on_line, EndHandler on_end);
    bool active() const { return active_; }
    // Standard input is readable: takes what was typed.
    void read_available();
    // Output while a line is being typed: hide() clears the prompt line,
    // show() draws the prompt and the unfinished line again.
    void hide();
    void show();
    void stop();

private:
    bool active_ = false;
    std::string history_file_;
};

}  // namespace mcu_sim

#endif  // MCU_SIM_LINE_EDITOR_H
