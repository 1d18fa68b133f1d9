// line_editor.cpp - libedit's callback interface under the poll loop.
#include "line_editor.h"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <vector>

#if MCU_SIM_LINE_EDITING
#include <editline/readline.h>
#endif

#include "description.h"
#include "state.h"

namespace mcu_sim {

#if MCU_SIM_LINE_EDITING

namespace {

// readline's callbacks are plain functions: the one editor's handlers.
LineEditor::LineHandler g_on_line;
LineEditor::EndHandler g_on_end;
std::vector<std::string> g_candidates;
bool g_editing = false;
std::string g_prompt;

// The terminal's mode before the editor took it, put back however the
// program ends: stop(), exit(), or a signal that ends it.
struct termios g_saved_mode;
volatile sig_atomic_t g_mode_saved = 0;

void restore_terminal() {
    if (g_mode_saved) tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_mode);
}

// The signals that end the program, and what handled them before.
constexpr int kFatalSignals[] = {SIGHUP, SIGQUIT, SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL};
struct sigaction g_previous[std::size(kFatalSignals)];

// Only async-signal-safe calls: the mode back, then the signal goes to
// whatever handled it before (its default end, or a sanitizer's report).
void on_fatal_signal(int sig) {
    restore_terminal();
    for (std::size_t i = 0; i < std::size(kFatalSignals); ++i)
        if (kFatalSignals[i] == sig) sigaction(sig, &g_previous[i], nullptr);
    raise(sig);
}

void install_handler_in_raw_mode();

void on_line(char *line) {
    if (!line) {
        g_on_end();
        return;
    }
    const std::string text = line;
    std::free(line);
    if (text.find_first_not_of(" \t") != std::string::npos) add_history(text.c_str());
    // libedit hands a finished line over with the terminal back in its
    // canonical mode and stays there: the next keys would be cooked by the
    // terminal (arrows as ^[[A, no completion, every line echoed twice).
    // Installing the handler again, before the command runs so that keys
    // typed meanwhile reach the editor, puts the editor's mode back and
    // draws the prompt; the command's output then goes above the prompt
    // like any other log line.
    if (g_editing) install_handler_in_raw_mode();
    std::fflush(stdout);
    g_on_line(text);
}

void install_handler_in_raw_mode() { rl_callback_handler_install(g_prompt.c_str(), on_line); }

char *next_candidate(const char *prefix, int state) {
    static std::size_t next;
    if (state == 0) next = 0;
    const std::size_t n = std::strlen(prefix);
    while (next < g_candidates.size()) {
        const std::string &c = g_candidates[next++];
        if (c.compare(0, n, prefix) == 0) return strdup(c.c_str());
    }
    return nullptr;
}

void add_enumeration(const char *name) {
    if (const mcu_protocol::Enumeration *e = mcu_protocol::find_enumeration(name))
        for (const mcu_protocol::EnumValue &v : e->values) g_candidates.push_back(v.name);
}

void add_fields(const char *message) {
    if (const mcu_protocol::Message *m = mcu_protocol::find_message(message))
        for (const mcu_protocol::Layout &l : m->layouts)
            for (const mcu_protocol::Field &f : l.fields) g_candidates.push_back(std::string(f.name) + "=");
}

// What may follow the words typed before the cursor.
char **complete(const char *text, int start, int) {
    std::vector<std::string> words;
    {
        std::string before(rl_line_buffer, static_cast<std::size_t>(start));
        std::size_t p = 0;
        while ((p = before.find_first_not_of(" \t", p)) != std::string::npos) {
            const std::size_t e = before.find_first_of(" \t", p);
            words.push_back(before.substr(p, e - p));
            p = e;
        }
    }
    g_candidates.clear();
    const std::string first = words.empty() ? "" : words[0];
    if (first == "help" && words.size() == 2 && words[1] == "send") {
        for (const mcu_protocol::Message &m : mcu_protocol::messages()) g_candidates.push_back(m.name);
    } else if (words.empty() || (first == "help" && words.size() == 1)) {
        g_candidates = {"key", "power", "turn", "hvac", "send", "raw", "garbage", "version", "get", "set",
                        "replay", "clients", "help", "quit"};
    } else if (first == "key" && words.size() == 1) {
        add_enumeration("HARD_KEY_ID");
    } else if (first == "version" && words.size() == 1) {
        add_enumeration("VERSION_TYPE_ID");
    } else if (first == "send" && words.size() == 1) {
        for (const mcu_protocol::Message &m : mcu_protocol::messages()) g_candidates.push_back(m.name);
    } else if (first == "send") {
        add_fields(words[1].c_str());
    } else if (first == "hvac") {
        add_fields("MCU_MSG_RET_HVAC_INFO");
    } else if ((first == "get" || first == "set") && words.size() == 1) {
        for (const KeyInfo &k : State::keys()) g_candidates.push_back(k.key);
    } else if (first == "help" && words.size() == 2 && words[1] == "set") {
        for (const KeyInfo &k : State::keys()) g_candidates.push_back(k.key);
    } else if (first == "set" && words.size() == 2) {
        for (const KeyInfo &k : State::keys())
            if (words[1] == k.key && k.enumeration) add_enumeration(k.enumeration);
    }
    // A field completes to "name=" and waits for its value.
    rl_completion_append_character = std::strchr(text, '=') || first == "hvac" || first == "send" ? '\0' : ' ';
    if (g_candidates.empty()) return nullptr;
    return rl_completion_matches(text, next_candidate);
}

}  // namespace

bool LineEditor::start(const char *prompt, LineHandler on_line_handler, EndHandler on_end) {
    if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) return false;
    g_on_line = std::move(on_line_handler);
    g_on_end = std::move(on_end);
    // libedit's own signal handlers would put back the handlers it found
    // at every finished line, SIG_DFL among them, and then re-send the
    // signal: SIGTERM and SIGINT would end the program without its summary
    // and with the terminal left as it was.  The server handles them.
    rl_catch_signals = 0;
    // (Read when the editor is first set up, which read_history does.)
    if (const char *home = std::getenv("HOME")) {
        history_file_ = std::string(home) + "/.mcu_agent_sim_history";
        read_history(history_file_.c_str());
    }
    rl_attempted_completion_function = complete;
    g_prompt = prompt;
    if (tcgetattr(STDIN_FILENO, &g_saved_mode) == 0) {
        g_mode_saved = 1;
        static bool hooks = false;
        if (!hooks) {
            hooks = true;
            std::atexit(restore_terminal);
            for (std::size_t i = 0; i < std::size(kFatalSignals); ++i) {
                struct sigaction sa {};
                sa.sa_handler = on_fatal_signal;
                sigaction(kFatalSignals[i], &sa, &g_previous[i]);
                // An ignored signal (nohup) ends nothing: it stays ignored.
                if (g_previous[i].sa_handler == SIG_IGN) sigaction(kFatalSignals[i], &g_previous[i], nullptr);
            }
        }
    }
    g_editing = true;
    install_handler_in_raw_mode();
    active_ = true;
    return true;
}

void LineEditor::read_available() {
    if (active_) rl_callback_read_char();
}

void LineEditor::hide() {
    if (!active_) return;
    std::fputs("\r\033[K", stdout);
}

void LineEditor::show() {
    if (!active_) return;
    rl_forced_update_display();
    std::fflush(stdout);
}

void LineEditor::stop() {
    if (!active_) return;
    active_ = false;
    g_editing = false;
    rl_callback_handler_remove();
    restore_terminal();
    g_mode_saved = 0;
    if (!history_file_.empty()) write_history(history_file_.c_str());
    std::fputs("\n", stdout);
}

#else  // no libedit: the caller reads plain lines

bool LineEditor::start(const char *, LineHandler, EndHandler) { return false; }
void LineEditor::read_available() {}
void LineEditor::hide() {}
void LineEditor::show() {}
void LineEditor::stop() {}

#endif

}  // namespace mcu_sim
