// peer_trust.h - who may be the agent.  Any local user can bind a socket at
// a path in /tmp before the agent does (or while it restarts), so whoever
// connects to the agent checks the peer's credentials (SO_PEERCRED) before
// it sends or believes anything.  Trusted: root, the process's own
// effective uid, and the uid or group that the integrator names: a build
// option (MCU_AGENT_TRUSTED_UID / MCU_AGENT_TRUSTED_GID as compile
// definitions), the environment variables of the same names (read with
// secure_getenv: a setuid program ignores them), or a call of the library.
//
// Header only and libc only: the library and the tools that connect to an
// agent (the tap, the virtual MCU's probe) apply the same rule.
#ifndef MCU_AGENT_PEER_TRUST_H
#define MCU_AGENT_PEER_TRUST_H

#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

namespace mcu_agent::peer {

constexpr long kNobody = -1;  // no uid or group named

struct Credentials {
    long pid = 0;
    long uid = kNobody;
    long gid = kNobody;
};

// The credentials of the process at the other end of a connected Unix
// socket, as the kernel recorded them at connect.
inline bool read_credentials(int fd, Credentials *out) {
    struct ucred c;
    socklen_t n = sizeof c;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &c, &n) != 0 || n != sizeof c) return false;
    out->pid = c.pid;
    out->uid = static_cast<long>(c.uid);
    out->gid = static_cast<long>(c.gid);
    return true;
}

// Whom the integrator named; kNobody where nothing was named.
struct Trust {
    long uid = kNobody;
    long gid = kNobody;
};

// A decimal number, or a user (group) name when `group` says which.
inline long parse_id(const char *text, bool group) {
    if (!text || !*text) return kNobody;
    char *end = nullptr;
    errno = 0;
    const long v = strtol(text, &end, 10);
    if (errno == 0 && end && *end == '\0' && v >= 0) return v;
    char buffer[1024];
    if (group) {
        struct group g, *found = nullptr;
        if (getgrnam_r(text, &g, buffer, sizeof buffer, &found) == 0 && found) return static_cast<long>(found->gr_gid);
    } else {
        struct passwd p, *found = nullptr;
        if (getpwnam_r(text, &p, buffer, sizeof buffer, &found) == 0 && found) return static_cast<long>(found->pw_uid);
    }
    return kNobody;
}

// The build option, overridden by the environment where it names one.
inline Trust configured_trust() {
    Trust t;
#ifdef MCU_AGENT_TRUSTED_UID
    t.uid = MCU_AGENT_TRUSTED_UID;
#endif
#ifdef MCU_AGENT_TRUSTED_GID
    t.gid = MCU_AGENT_TRUSTED_GID;
#endif
    const long uid = parse_id(secure_getenv("MCU_AGENT_TRUSTED_UID"), false);
    const long gid = parse_id(secure_getenv("MCU_AGENT_TRUSTED_GID"), true);
    if (uid != kNobody) t.uid = uid;
    if (gid != kNobody) t.gid = gid;
    return t;
}

inline bool trusted(const Credentials &peer, const Trust &named) {
    if (peer.uid == 0 || peer.uid == static_cast<long>(geteuid())) return true;
    if (named.uid != kNobody && peer.uid == named.uid) return true;
    return named.gid != kNobody && peer.gid == named.gid;
}

// The one line that says why a peer was refused and how to trust it.
inline void refusal_text(const char *path, const Credentials &peer, char *text, size_t size) {
    if (peer.uid == kNobody)
        snprintf(text, size, "the agent on %s: its credentials cannot be read, not trusted", path);
    else
        snprintf(text, size,
                 "the agent on %s runs as uid %ld (gid %ld), not trusted; set MCU_AGENT_TRUSTED_UID=%ld "
                 "(or MCU_AGENT_TRUSTED_GID=%ld) to trust it",
                 path, peer.uid, peer.gid, peer.uid, peer.gid);
}

}  // namespace mcu_agent::peer

#endif  // MCU_AGENT_PEER_TRUST_H
