// extcap.cpp - mcu-agent-extcap: live capture of the agent socket in
// Wireshark, through Wireshark's external capture interface.  Two
// interfaces:
//
//   mcu_agent_tap    runs mcu-agent-tap between the applications and the
//                    agent (with all of the tap's care for the agent's
//                    socket) and follows the capture it writes;
//   mcu_agent_trace  follows a capture file that an application's library
//                    writes (MCU_AGENT_TRACE=FILE), from its start or, with
//                    --since-now, from its end.
//
// Either way each new capture line becomes a pcapng packet on the fifo
// that Wireshark reads, as mcu-agent-dump --pcapng writes them.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "capture.h"
#include "cli.h"
#include "line_reader.h"
#include "pcapng.h"

namespace {

const char kUsage[] =
    "usage: mcu-agent-extcap --extcap-interfaces\n"
    "       mcu-agent-extcap --extcap-interface IF --extcap-dlts | --extcap-config\n"
    "       mcu-agent-extcap --extcap-interface IF --capture --fifo PATH [options]\n"
    "Wireshark's external capture program for the agent socket.  Interfaces:\n"
    "  mcu_agent_tap    tap the agent socket with mcu-agent-tap\n"
    "     --socket PATH   where applications connect (default $MCU_AGENT_SOCKET,\n"
    "                     else /tmp/mcu_agent)\n"
    "     --agent PATH    the agent server's socket, if it is not at --socket\n"
    "     --tap PROGRAM   the mcu-agent-tap program to run\n"
    "  mcu_agent_trace  follow an application's library trace\n"
    "     --trace FILE    the file MCU_AGENT_TRACE names\n"
    "     --since-now     skip what the file holds when the capture starts\n"
    "Stops on SIGINT or SIGTERM, or when Wireshark closes the fifo.\n";

constexpr const char *kTapInterface = "mcu_agent_tap";
constexpr const char *kTraceInterface = "mcu_agent_trace";

volatile sig_atomic_t g_stop = 0;
void on_stop(int) { g_stop = 1; }

struct Options {
    std::string interface, fifo, socket = mcu_cli::default_socket_path(), agent, tap, trace;
    bool interfaces = false, dlts = false, config = false, capture = false, since_now = false;
};

// The tap program: --tap, else the one built or installed beside this
// program, else mcu-agent-tap on the PATH.
std::string tap_program(const Options &o) {
    if (!o.tap.empty()) return o.tap;
    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = '\0';
        std::string dir = self;
        dir.resize(dir.rfind('/'));
        // Built: tools/wireshark/extcap/ beside tools/mcu-agent-tap.
        // Installed: lib[/ARCH]/wireshark/extcap/ beside bin/.
        for (const char *candidate : {"/../../mcu-agent-tap", "/../../../bin/mcu-agent-tap",
                                      "/../../../../bin/mcu-agent-tap"}) {
            const std::string path = dir + candidate;
            if (::access(path.c_str(), X_OK) == 0) return path;
        }
    }
    return MCU_AGENT_TAP_PROGRAM[0] && ::access(MCU_AGENT_TAP_PROGRAM, X_OK) == 0 ? MCU_AGENT_TAP_PROGRAM
                                                                                   : "mcu-agent-tap";
}

void print_interfaces() {
    std::printf("extcap {version=%s}{help=mcu-agent-extcap --help}\n", MCU_AGENT_VERSION);
    std::printf("interface {value=%s}{display=MCU agent socket (mcu-agent-tap)}\n", kTapInterface);
    std::printf("interface {value=%s}{display=MCU agent library trace (MCU_AGENT_TRACE)}\n", kTraceInterface);
}

void print_config(const Options &o) {
    if (o.interface == kTapInterface) {
        std::printf("arg {number=0}{call=--socket}{display=Agent socket}{type=string}{default=%s}"
                    "{tooltip=Where applications connect; the agent's socket there is moved aside while tapping}\n",
                    o.socket.c_str());
        std::printf("arg {number=1}{call=--agent}{display=Agent server socket}{type=string}"
                    "{tooltip=Only when the agent listens elsewhere than the agent socket}\n");
    } else {
        std::printf("arg {number=0}{call=--trace}{display=Trace file}{type=fileselect}{mustexist=false}"
                    "{required=true}{tooltip=The file an application's MCU_AGENT_TRACE names}\n");
        std::printf("arg {number=1}{call=--since-now}{display=Only lines written from now on}{type=boolflag}"
                    "{tooltip=Skip what the trace holds when the capture starts}\n");
    }
}

// What the tap says on standard error.  Most of it is what a tap that
// works well says ("moved the agent's socket back"), and Wireshark shows
// anything an extcap writes to standard error as an error: the lines are
// kept (the last few, each cut to a line's limit) and passed on only when
// the tap fails.
class TapNotes {
public:
    ~TapNotes() {
        if (fd_ >= 0) ::close(fd_);
    }
    void take(int fd) { fd_ = fd; }
    void drain() {
        char buf[4096];
        for (ssize_t n; fd_ >= 0 && (n = ::read(fd_, buf, sizeof buf)) != 0;) {
            if (n < 0) {
                if (errno == EINTR) continue;
                break;  // EAGAIN: nothing more now
            }
            reader_.feed(buf, static_cast<std::size_t>(n));
            std::string line;
            for (mcu_cli::LineReader::Got got; (got = reader_.next(&line)) != mcu_cli::LineReader::Got::None;) {
                if (got == mcu_cli::LineReader::Got::TooLong) line = "(a line too long to show)";
                if (kept_.size() == kKept) kept_.erase(kept_.begin());
                kept_.push_back(line);
            }
        }
    }
    void pass_on() const {
        for (const std::string &line : kept_) std::fprintf(stderr, "%s\n", line.c_str());
    }

private:
    static constexpr std::size_t kKept = 32;
    int fd_ = -1;
    mcu_cli::LineReader reader_{4096};
    std::vector<std::string> kept_;
};

// The tap as a child whose capture goes to `capture`; it ends with this
// program (PR_SET_PDEATHSIG), and on SIGTERM it puts the agent's socket
// back itself.
pid_t start_tap(const Options &o, const std::string &capture, TapNotes *notes) {
    std::vector<std::string> args = {tap_program(o), "--listen", o.socket, "--capture", capture, "--quiet"};
    if (!o.agent.empty()) args.insert(args.end(), {"--agent", o.agent});
    int err[2];
    if (::pipe2(err, O_CLOEXEC) != 0) return -1;
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid != 0) {
        ::close(err[1]);
        if (pid < 0) {
            ::close(err[0]);
            return pid;
        }
        ::fcntl(err[0], F_SETFL, O_NONBLOCK);
        notes->take(err[0]);
        return pid;
    }
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(1);
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) ::dup2(null, STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    std::fprintf(stderr, "mcu-agent-extcap: cannot run %s: %s\n", argv[0], std::strerror(errno));
    ::_exit(127);
}

// Passes the lines to Wireshark; false once the fifo is gone.
bool pass_on(mcu_pcapng::CaptureFollower &follower, mcu_pcapng::Writer &writer) {
    std::vector<mcu_pcapng::CaptureLine> lines;
    std::string error;
    follower.lines(&lines, false, &error);  // a file not readable yet may be later
    for (const mcu_pcapng::CaptureLine &line : lines) {
        mcu_protocol::CaptureRecord r;
        if (line.too_long || mcu_protocol::parse_capture(line.text, &r, &error) != mcu_protocol::LineKind::Record)
            continue;
        if (!writer.write(r)) return false;
    }
    return true;
}

int capture(const Options &o) {
    const int fifo = ::open(o.fifo.c_str(), O_WRONLY | O_CLOEXEC);
    if (fifo < 0) {
        std::fprintf(stderr, "mcu-agent-extcap: cannot open %s: %s\n", o.fifo.c_str(), std::strerror(errno));
        return 1;
    }
    mcu_pcapng::Writer writer(fifo);
    if (!writer.start()) return 1;

    std::string dir, file = o.trace;
    pid_t tap = -1;
    TapNotes notes;
    if (o.interface == kTapInterface) {
        const char *tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/mcu-agent-extcap.XXXXXX";
        if (!::mkdtemp(pattern.data())) {
            std::fprintf(stderr, "mcu-agent-extcap: cannot make a directory: %s\n", std::strerror(errno));
            return 1;
        }
        dir = pattern;
        file = dir + "/capture.log";
        tap = start_tap(o, file, &notes);
        if (tap < 0) {
            std::fprintf(stderr, "mcu-agent-extcap: cannot start the tap: %s\n", std::strerror(errno));
            ::rmdir(dir.c_str());
            return 1;
        }
    }
    mcu_pcapng::CaptureFollower follower(file, tap < 0 && o.since_now);
    int status = 0;
    while (!g_stop) {
        if (!pass_on(follower, writer)) break;  // Wireshark stopped reading
        notes.drain();
        if (tap > 0) {
            int ws = 0;
            if (::waitpid(tap, &ws, WNOHANG) == tap) {
                tap = -1;
                pass_on(follower, writer);
                status = WIFEXITED(ws) && WEXITSTATUS(ws) == 0 ? 0 : 1;
                break;
            }
        }
        ::usleep(50 * 1000);
    }
    if (tap > 0) {
        // Stopped by us: its SIGTERM puts the agent's socket back, and
        // only a failure there is worth Wireshark's error dialog.
        ::kill(tap, SIGTERM);
        int ws = 0;
        while (::waitpid(tap, &ws, 0) < 0 && errno == EINTR) {
        }
        pass_on(follower, writer);
        status = WIFEXITED(ws) && WEXITSTATUS(ws) == 0 ? 0 : 1;
    }
    notes.drain();
    if (status != 0) {
        std::fprintf(stderr, "mcu-agent-extcap: the tap failed:\n");
        notes.pass_on();
    }
    if (!dir.empty()) {
        ::unlink(file.c_str());
        ::rmdir(dir.c_str());
    }
    ::close(fifo);
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i], value;
        const std::size_t eq = a.find('=');
        const bool inline_value = a.rfind("--", 0) == 0 && eq != std::string::npos;
        if (inline_value) {
            value = a.substr(eq + 1);
            a.resize(eq);
        }
        auto next = [&]() -> std::string {
            if (inline_value) return value;
            if (i + 1 < argc) return argv[++i];
            std::fprintf(stderr, "mcu-agent-extcap: %s needs a value\n", a.c_str());
            std::exit(2);
        };
        if (a == "--extcap-interfaces") o.interfaces = true;
        else if (a == "--extcap-interface") o.interface = next();
        else if (a == "--extcap-dlts") o.dlts = true;
        else if (a == "--extcap-config") o.config = true;
        else if (a == "--capture") o.capture = true;
        else if (a == "--fifo") o.fifo = next();
        else if (a == "--socket") o.socket = next();
        else if (a == "--agent") o.agent = next();
        else if (a == "--tap") o.tap = next();
        else if (a == "--trace") o.trace = next();
        else if (a == "--since-now") o.since_now = true;
        else if (a == "--extcap-version" || a == "--extcap-capture-filter") {
            if (!inline_value && i + 1 < argc && argv[i + 1][0] != '-') ++i;  // nothing to filter on
        } else if (a == "--version") {
            mcu_cli::print_version("mcu-agent-extcap");
            return 0;
        } else if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else {
            std::fprintf(stderr, "mcu-agent-extcap: unknown option %s\n%s", a.c_str(), kUsage);
            return 2;
        }
    }
    if (o.interfaces) {
        print_interfaces();
        return 0;
    }
    if (o.interface != kTapInterface && o.interface != kTraceInterface) {
        std::fprintf(stderr, "mcu-agent-extcap: no interface %s (%s or %s)\n", o.interface.c_str(), kTapInterface,
                     kTraceInterface);
        return 2;
    }
    if (o.dlts) {
        std::printf("dlt {number=%u}{name=WIRESHARK_UPPER_PDU}{display=MCU agent frames}\n",
                    mcu_pcapng::kLinkTypeExportedPdu);
        return 0;
    }
    if (o.config) {
        print_config(o);
        return 0;
    }
    if (!o.capture || o.fifo.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (o.interface == kTraceInterface && o.trace.empty()) {
        std::fprintf(stderr, "mcu-agent-extcap: %s needs --trace FILE\n", kTraceInterface);
        return 2;
    }
    struct sigaction sa {};
    sa.sa_handler = on_stop;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return capture(o);
}
