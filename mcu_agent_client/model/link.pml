/* link.pml - the link's threads, records, locks and current-connection
 * word as a Promela model, checked exhaustively by Spin (scripts/model.sh).
 *
 * Each thread of the library is one proctype; the agent server and the
 * kernel's descriptor table are modelled beside them.  Every transition
 * names, in a comment, the C++ function that performs it.
 *
 * Step (the "Model:" name in the code) -> C++ function (file): what the model does
 * ---------------------------------------------------------------------------
 * acquire        -> acquire_current (link_send.cpp): load word, users++, re-load
 * release        -> release (link_send.cpp): users--, wake end() when not current
 * write          -> write_all (link_send.cpp): the write; the descriptor check
 * handler_send_wait -> wait_writable_on_packet_thread (link_send.cpp): give up
 *                   after a deadline while frames wait behind
 * enter          -> enter, socket_client_init (link.cpp): entry lock, standing
 *                   connection kept, failure line to the log handler
 * peer_gone      -> peer_gone (link.cpp): EPIPE seen, POLLHUP, POLLRDHUP
 * retire         -> retire_current (link.cpp): word := 0, shutdown
 * drop_if_empty  -> drop_empty_queued, close_when_unused (link.cpp)
 * connect        -> connect_server (link.cpp): socket(), connect
 * make_current   -> make_current (link.cpp): record queued, word published
 * start_reconnect -> start_background_reconnect, start_threads (link.cpp)
 * set_interval   -> set_reconnect_interval (link.cpp)
 * set_handler    -> set_connection_handler (link.cpp): owed 1
 * next_to_serve  -> next_to_serve (link.cpp): oldest queued, or wait, or
 *                   the timed wait and a background attempt
 * connect_in_background -> connect_in_background (link.cpp)
 * serve          -> serve, socket_wait, room_for_read (link.cpp): read, push
 * retire_at_end  -> retire_if_current (link.cpp): before "disconnected"
 * end            -> end, close_when_unused (link.cpp): shutdown, wait for
 *                   users, close, ended or folded
 * collect        -> collect, delivering (link_delivery.cpp): 1, frames, 0
 * sleep          -> packet_handle_thread, wait_for_wake (link_delivery.cpp)
 * deliver        -> deliver, packet_handle_thread (link_delivery.cpp): handlers
 * wake           -> handler_to_wake, wake_packet_thread (link.cpp, link_delivery.cpp);
 *                   in the application's mode one byte claimed (wake_has_byte)
 * dispatch       -> McuAgent_dispatch (listeners.cpp), deliver_some, refill_carry
 *                   (link_delivery.cpp): the role by trylock, the carry
 * settle         -> settle_readability (link_delivery.cpp): byte written or drained
 * listeners, observe -> observe_frame, run_listeners, next_listener,
 *                   listener_returned (listeners.cpp)
 * remove         -> McuAgent_remove_listener (listeners.cpp)
 * observe_event  -> observe_event (listeners.cpp): a 0 ends its calls (ENDED)
 * call           -> call_blocking, send_request_frame, arm_call, call_sent
 *                   (listeners.cpp), t_sent_number (link_send.cpp)
 * shutdown       -> shutdown_link, join_before (link.cpp), end_everything
 *                   (listeners.cpp); the threads' ends in receive_thread and
 *                   packet_handle_thread
 * not modelled: cancel (McuAgent_call_cancel), shutdown_deliver
 *                   (deliver_rest_here: shutdown in the application's mode)
 * Agent, kernel (sys_*): the agent server and the kernel, not library code
 *
 * Abstractions: a frame is one unit (the ring's byte arithmetic, the
 * spill and frame cutting are left out); the ring holds RING frames; a
 * deadline is a nondeterministic time-out; signals and fork are left out.
 *
 * Switches (spin -D...): the scenario's processes and bounds below, and
 * the faults FAULT_F1, FAULT_F6, FAULT_F7 put back (fault_f*.pml), and
 * FAULT_USERS_RESET: make_current() storing 0 into `users`, which wipes
 * the count of a sender that counted itself into the record's previous
 * connection a moment too late; its count-out then takes `users` below 0
 * and the next end() closes the descriptor under a sender.
 * FAULT_DROP_NO_RECHECK: drop_if_empty() freeing the record after waiting
 * for its senders without looking again: meanwhile the packet-handle
 * thread took its 1 (or the receive thread took it up), and its 0 never
 * comes.
 * The application side (scripts/model.sh names them): FAULT_PIPE_NOT_DRAINED,
 * FAULT_PIPE_DRAINED_EARLY (settle_readability), FAULT_REMOVE_NO_WAIT,
 * FAULT_REMOVE_SELF_WAITS (McuAgent_remove_listener), FAULT_SHUTDOWN_NO_JOIN,
 * FAULT_ENDED_TWICE, FAULT_STOPPING_KEPT (shutdown_link, end_everything);
 * FAULT_LISTENER_UNMARKED (a listener picked but not marked running).
 * Checks beyond what the code keeps, each refuted by a trail:
 * EXACT_READABLE (the descriptor readable only while items wait) and
 * STRICT_ENDED (a call whose connection ended always gets ENDED).
 */

/* ---- bounds and scenario --------------------------------------------- */
#ifndef NREC
#define NREC 2          /* connection records (kConnections is 8) */
#endif
#define NFD (NREC + 1)  /* descriptor numbers the kernel hands out */
#define NLINK (NREC + 1)/* sockets (kernel objects) at a time */
#ifndef RING
#define RING 1          /* frames the ring holds */
#endif
#ifndef BATCH
#define BATCH 2         /* items per collect (kPopBatch is 8) */
#endif
#ifndef MAXFR
#define MAXFR 2         /* frames the agent writes in all */
#endif
#ifndef SESSIONS
#define SESSIONS 2      /* connections the agent accepts */
#endif
#ifndef AGENT_UP
#define AGENT_UP 1      /* the agent listens from the start */
#endif
#ifndef SENDERS
#define SENDERS 0       /* application threads that send (0..2) */
#endif
#ifndef SENDS
#define SENDS 1         /* sends per application thread */
#endif
#ifndef APP_ENTRIES
#define APP_ENTRIES 1   /* entry point calls of the application thread */
#endif
#ifndef PH_ENTRIES
#define PH_ENTRIES 0    /* entry point calls from frame handlers */
#endif
#ifndef PH_SENDS
#define PH_SENDS 0      /* sends from frame handlers */
#endif
#ifndef LOG_ENTRIES
#define LOG_ENTRIES 0   /* entry point calls from the log handler */
#endif
#ifndef SET_RECONNECT
#define SET_RECONNECT 0 /* the application sets a reconnect interval */
#endif
#ifndef SET_HANDLER
#define SET_HANDLER 0   /* the application sets a connection handler */
#endif
#ifndef HALFCLOSE
#define HALFCLOSE 1     /* the agent may half-close before it closes */
#endif
#ifndef RELISTEN
#define RELISTEN 1      /* the agent may stop listening and come back */
#endif
#ifndef STALL
#define STALL 0         /* the agent may stop reading */
#endif
#ifndef AGENT_KEEPS
#define AGENT_KEEPS 0   /* the agent closes only once the client ended the connection */
#endif
#ifndef DISPATCH_APP
#define DISPATCH_APP 0  /* deliveries on application threads calling dispatch */
#endif
#ifndef DISPATCHERS
#define DISPATCHERS 2   /* in that mode: a polling thread, and one dispatch at any moment */
#endif
#ifndef LISTENERS
#define LISTENERS 0     /* frame listeners; a remover removes the first */
#endif
#ifndef REMOVE_SELF
#define REMOVE_SELF 0   /* the last listener removes itself from inside its call */
#endif
#ifndef SHUTDOWN
#define SHUTDOWN 0      /* a thread shuts the library down, then calls the entry point */
#endif
#ifndef CALLS
#define CALLS 0         /* the sending thread's sends are blocking calls awaiting an answer */
#endif

/* ---- constants --------------------------------------------------------- */
#define NONE 255
#define FREE 0
#define QUEUED 1
#define SERVED 2
#define ENDED 3

/* thread ids: lock owners and condition variable waiter bits */
#define T_S1 1
#define T_S2 2
#define T_APP 3
#define T_RX 4
#define T_PH 5
#define T_SET 6
#define T_AG 7
#define T_SD 8     /* the thread calling shutdown */
#define T_RM 9     /* the thread removing a listener */
#define T_D2 10    /* a second thread calling dispatch */

#define IT_UP 1    /* 1 of the connection */
#define IT_UPH 2   /* 1 owed to a handler set while the connection stood */
#define IT_FRAME 3
#define IT_DOWN 4

#define R_OK 0
#define R_FAIL 1
#define R_TIMEDOUT 2
#define R_EBUSY 3       /* dispatch: another thread dispatches */
#define R_ENOENT 4      /* remove_listener: unknown handle */
#define R_ENDED 5       /* call: its connection ended (MCU_AGENT_CALL_ENDED) */

#define C_NONE 0        /* the call's record (Call::State) */
#define C_PENDING 1     /* kWaiting: written, waits for its answer */
#define C_DONE 2        /* kDone: the result is in, the caller takes it */
#define C_ARMED 3       /* kArmed: its frame is being written */

/* ---- the kernel: descriptors and sockets -------------------------------- */
byte fd_link[NFD];      /* 0 free; 1..NLINK the socket + 1; NONE unconnected */
bit lk_used[NLINK];
byte lk_num[NLINK];     /* ghost: the connection number it was made current as */
byte lk_q[NLINK];       /* frames the agent wrote that the client has not read */
byte lk_rd[NLINK];      /* frames the client read (the next frame's sequence) */
bit lk_wshut[NLINK];    /* the agent half-closed (or closed): EOF, POLLRDHUP */
bit lk_aclosed[NLINK];  /* the agent closed: POLLHUP, EPIPE */
bit lk_cshut[NLINK];    /* the client shut it down */
bit lk_cclosed[NLINK];  /* the client closed its descriptor */
bit lk_stalled[NLINK];  /* the agent does not read: writes block */
chan backlog = [NLINK] of { byte };
bit listening = AGENT_UP;

/* ---- the link (link_state.h) ------------------------------------------- */
byte mtx;               /* g_link.mutex(): owner thread, 0 none */
byte elk;               /* g_link.entry */
short changed_w;        /* waiters on g_link.changed (bit per thread) */
short room_w;           /* waiters on g_link.room */
bit handler_waiting, receiver_waiting;
byte wake_bytes;        /* bytes in the wake pipe */
byte wk_flight;         /* ghost: wakes taken (handler_waiting cleared), byte not yet written */
bit pipe_open;          /* the wake pipe exists (made by start_threads, closed by shutdown) */

byte rec_phase[NREC];
byte rec_num[NREC];
byte rec_fd[NREC];
short rec_users[NREC];  /* std::atomic<int>: may go below 0 if miscounted */
bit rec_up[NREC];       /* up_taken */
bit rec_pg[NREC];       /* peer_gone: a send saw EPIPE */
byte rec_start[NREC], rec_end[NREC];
bit rec_eof[NREC];      /* ghost: the receive thread read its end */

byte cur;               /* current: number << 2 | index; 0 none */
byte last_number;
byte pushed, consumed;
chan ring = [RING] of { byte, byte };  /* (connection number, sequence) */

bit reconnect;          /* reconnect_ms > 0 */
bit entry_called;
bit handler_set;        /* connection_handler != nullptr */
bit up_owed;            /* a handler set while a connection stood is owed its 1 */
bit rx_running, ph_running;

/* ---- ghosts for the properties ----------------------------------------- */
byte ev_conn;           /* connection between its delivered 1 and 0 */
bit h_state;            /* what the connection handler was last told */
byte dl_next[8];        /* next sequence to deliver, by connection number */
byte written, delivered;/* frames the agent wrote / the application got */
byte connections_made;
short idle;             /* threads in a wait that may last for good: bit per thread */
byte done;              /* application threads that returned */
byte sessions;

/* ---- the application side (listeners.cpp, link_delivery.cpp, link.cpp) --- */
#if DISPATCH_APP
byte dlk;               /* the dispatch role (trylock): owner thread, 0 none */
bit has_byte;           /* wake_has_byte: the pipe holds its byte, or it is on its way */
byte cb_kind[BATCH], cb_num[BATCH], cb_seq[BATCH];  /* collected items carried between dispatches */
bit cb_h[BATCH];
byte cb_head, cb_cnt;   /* the next carried item, how many are carried */
bit app_stopped;        /* ghost: the polling thread stopped dispatching for good */
bit app_polling;        /* ghost: it waits in poll() */
#endif
#if LISTENERS
byte lst_counter = LISTENERS;      /* the listener-handle counter; all added before the start */
bit lst_removed[LISTENERS + 1];    /* removed: never picked again */
byte lst_runner[LISTENERS + 1];    /* the thread calling it now, 0 none */
byte lst_gone[LISTENERS + 1];      /* ghost: its removal returned: 1 ETIMEDOUT, 2 with 0 */
short ld_w;                        /* waiters on g_reg.finished (listeners) */
#endif
#if SHUTDOWN
bit stopping;
bit rx_alive, ph_alive; /* ghost: the thread has not returned (what a join waits for) */
bit shut_done;          /* ghost: shutdown returned */
#endif
#if CALLS
byte call_state;        /* the call record of the sending thread's call */
byte call_conn;         /* the connection number it waits on (0 while armed) */
byte call_result;
byte call_completions;  /* ghost: results given to the current call */
short call_w;           /* waiters on g_reg.finished */
byte ended_delivered;   /* g_link.ended_delivered: the last connection whose 0 was delivered */
byte dropped;           /* ghost: connections freed with no 0 (dropped or folded), bit per number */
#endif

#if CALLS
/* listeners.cpp: finish_blocking(): under the mutex, the result is in */
inline finish_blocking(r) {
  call_state = C_DONE; call_result = r; call_completions++;
  assert(call_completions == 1);                 /* exactly once */
  broadcast(call_w)
}
/* listeners.cpp: connection_dropped(): a connection freed with no 0
 * (drop_empty_queued, or folded in end()) ends the calls waiting on it */
#ifndef FAULT_DROP_ENDS_NO_CALL
#define END_CALLS_OF(n) dropped = dropped | (1 << (n)); \
  if :: call_state == C_PENDING && call_conn == (n) -> finish_blocking(R_ENDED) :: else fi;
#else
#define END_CALLS_OF(n) dropped = dropped | (1 << (n));
#endif
#else
#define END_CALLS_OF(n)
#endif

#define IDX(w) ((w) & 3)
#define WORD(i) ((rec_num[i] << 2) | (i))
#define LINK(f) (fd_link[f] - 1)

/* ---- locks and condition variables -------------------------------------- */
inline lock(m, me) { atomic { m == 0 -> m = me } }
inline unlock(m, me) { assert(m == me); m = 0 }
/* pthread_cond_wait: releases the mutex, sleeps until a broadcast, retakes it */
inline cond_wait(cv, me, idl) {
  atomic { assert(mtx == me); cv = cv | (1 << me); mtx = 0; idle = idle | (idl << me) };
  atomic { (cv & (1 << me)) == 0 && mtx == 0 -> mtx = me; idle = idle & ~(1 << me) }
}
/* pthread_cond_clockwait: the same, or the deadline passes */
inline cond_timedwait(cv, me) {
  atomic { assert(mtx == me); cv = cv | (1 << me); mtx = 0 };
  if
  :: atomic { (cv & (1 << me)) == 0 && mtx == 0 -> mtx = me }
  :: atomic { mtx == 0 -> cv = cv & ~(1 << me); mtx = me }   /* ETIMEDOUT */
  fi
}
inline broadcast(cv) { cv = 0 }
/* Application code (handlers, the log handler) runs with no library lock */
inline app_code(me) { assert(mtx != me && elk != me) }

/* ---- kernel calls ------------------------------------------------------- */
/* socket(): the lowest free number; NONE when the table is full */
inline sys_socket(f) {
  atomic {
    f = 0;
    do
    :: f < NFD && fd_link[f] != 0 -> f++
    :: f == NFD -> f = NONE; break
    :: f < NFD && fd_link[f] == 0 -> fd_link[f] = NONE; break
    od
  }
}
inline link_free(l) {
  lk_used[l] = 0; lk_num[l] = 0; lk_q[l] = 0; lk_rd[l] = 0; lk_wshut[l] = 0;
  lk_aclosed[l] = 0; lk_cshut[l] = 0; lk_cclosed[l] = 0; lk_stalled[l] = 0
}
/* close(): the number is free for the next socket() at once */
inline sys_close(f) {
  atomic {
    assert(f < NFD && fd_link[f] != 0);
    if
    :: fd_link[f] != NONE ->
       lk_cclosed[LINK(f)] = 1;
       if :: lk_aclosed[LINK(f)] -> link_free(LINK(f)) :: else fi
    :: else
    fi;
    fd_link[f] = 0
  }
}
inline sys_shutdown(f) { atomic { assert(f < NFD && fd_link[f] != 0 && fd_link[f] != NONE); lk_cshut[LINK(f)] = 1 } }
/* connect(): succeeds while the agent listens and has backlog room */
inline sys_connect(f, ok) {
  atomic {
    l = 0;
    do :: l < NLINK && lk_used[l] -> l++ :: else -> break od;
    if
    :: listening && l < NLINK && len(backlog) < NLINK ->
       lk_used[l] = 1; fd_link[f] = l + 1; backlog ! l; ok = 1
    :: else -> ok = 0
    fi
  }
}

/* ---- records (under the mutex) ------------------------------------------ */
inline free_slot(s) {
  d_step {
    s = 0;
    do :: s < NREC && rec_phase[s] != FREE -> s++ :: s == NREC -> s = NONE; break :: s < NREC && rec_phase[s] == FREE -> break od
  }
}
inline oldest_in(s, ph) {   /* ph: QUEUED, or NONE for any non-free record */
  d_step {
    s = NONE; k = 0;
    do
    :: k < NREC ->
       if
       :: rec_phase[k] != FREE && (ph == NONE || rec_phase[k] == ph) && (s == NONE || rec_num[k] < rec_num[s]) -> s = k
       :: else
       fi;
       k++
    :: else -> break
    od;
    k = 0
  }
}
#define older_pending(c) \
  ((rec_phase[0] != FREE && rec_num[0] < rec_num[c]) || (NREC > 1 && rec_phase[1] != FREE && rec_num[1] < rec_num[c]) \
   || (NREC > 2 && rec_phase[2 % NREC] != FREE && rec_num[2 % NREC] < rec_num[c]))
#define reconnect_wanted (reconnect && entry_called && cur == 0 && \
  !(rec_phase[0] == QUEUED || (NREC > 1 && rec_phase[1] == QUEUED) || (NREC > 2 && rec_phase[2 % NREC] == QUEUED)))

/* link.cpp: handler_to_wake() + wake_packet_thread() after the unlock */
/* handler_to_wake(): in the application's mode at most one byte is
 * claimed at a time (wake_has_byte), under the mutex; the claimer writes it
 * after the unlock, as in the other mode */
#if DISPATCH_APP
#define TAKE_WAKE(w) \
  if :: handler_waiting && !has_byte -> handler_waiting = 0; has_byte = 1; w = 1 :: else -> handler_waiting = 0; w = 0 fi; \
  wk_flight = wk_flight + w
#else
#define TAKE_WAKE(w) w = handler_waiting; handler_waiting = 0; wk_flight = wk_flight + w
#endif
inline wake_handler_locked(w) { d_step { TAKE_WAKE(w) } }
inline wake_packet_thread(w) {
  d_step { if :: w -> assert(pipe_open); wake_bytes++; wk_flight-- :: else fi; w = 0 }  /* never a closed pipe */
}

/* link.cpp: make_current() */
inline make_current(slot, f) {
  atomic {
    rec_phase[slot] = QUEUED;
    last_number++;
    rec_num[slot] = last_number;
    rec_start[slot] = 0; rec_end[slot] = 0;
    rec_up[slot] = 0;
    rec_fd[slot] = f;
#ifdef FAULT_USERS_RESET
    rec_users[slot] = 0;    /* c.users.store(0): wipes a stale sender's count */
#endif
    rec_pg[slot] = 0;
    rec_eof[slot] = 0;
    lk_num[LINK(f)] = last_number;
    connections_made++;
    cur = WORD(slot);
    broadcast(changed_w);
    TAKE_WAKE(wk)
  }
}

/* link.cpp: retire_current() */
inline retire_current() {
  if
  :: cur != 0 -> atomic { sys_shutdown(rec_fd[IDX(cur)]); cur = 0; broadcast(changed_w) }
  :: else
  fi
}

/* link.cpp: peer_gone(): EPIPE seen, POLLHUP, or POLLRDHUP (a half-close) */
#ifdef FAULT_F7
#define peer_gone(i) (rec_pg[i] || lk_aclosed[LINK(rec_fd[i])])
#else
#define peer_gone(i) (rec_pg[i] || lk_aclosed[LINK(rec_fd[i])] || lk_wshut[LINK(rec_fd[i])])
#endif

/* link.cpp: drop_empty_queued() + close_when_unused() (drop_if_empty): every queued
 * connection that is not current, whose 1 the packet-handle thread has not
 * taken and whose socket holds nothing is freed at once, once its senders
 * are out (close_when_unused), with no events */
inline drop_if_empty(i, me) {
#ifndef FAULT_F6
  i = 0;
  do
  :: i < NREC ->
     if
     :: rec_phase[i] == QUEUED && cur != WORD(i) && !rec_up[i] && lk_q[LINK(rec_fd[i])] == 0 ->
        do :: rec_users[i] > 0 -> cond_wait(changed_w, me, 0) :: else -> break od;
#ifndef FAULT_DROP_NO_RECHECK
        if                             /* the wait released the mutex: the receive thread may */
        :: rec_phase[i] == QUEUED && !rec_up[i] ->  /* have taken it up, the packet thread its 1 */
#endif
           END_CALLS_OF(rec_num[i])            /* no 0 comes: its calls end here */
           sys_close(rec_fd[i]); rec_fd[i] = NONE; rec_phase[i] = FREE; broadcast(changed_w)
#ifndef FAULT_DROP_NO_RECHECK
        :: else
        fi
#endif
     :: else
     fi;
     i++
  :: else -> break
  od;
  i = 0
#else
  skip
#endif
}

/* link.cpp: start_threads() */
#if SHUTDOWN
#define ALIVE(r, a) if :: !r -> a = 1 :: else fi;
#else
#define ALIVE(r, a)
#endif
#if DISPATCH_APP            /* no packet-handle thread: the application dispatches; */
inline start_threads() {    /* make_application_descriptor(): an empty pipe, handler_waiting */
  if :: !pipe_open -> pipe_open = 1; handler_waiting = 1; has_byte = 0 :: else fi;
  ALIVE(rx_running, rx_alive) rx_running = 1
}
#else
inline start_threads() { pipe_open = 1; ALIVE(ph_running, ph_alive) ALIVE(rx_running, rx_alive) ph_running = 1; rx_running = 1 }
#endif

/* link.cpp: connect_server(): socket(), connect; closes on failure */
inline connect_server(f, ok) {
  sys_socket(f);
  if
  :: f == NONE -> ok = 0
  :: else ->
     sys_connect(f, ok);
     if :: !ok -> sys_close(f); f = NONE :: else fi
  fi
}

/* link.cpp: socket_client_init() -> enter(); ret: R_OK or R_FAIL */
inline enter(me, ret) {
  lock(elk, me);                                   /* enter(): Lock entry */
  atomic {
  mtx == 0 -> mtx = me;
  entry_called = 1;
  ret = NONE;
  if
#if SHUTDOWN
  :: stopping -> ret = R_FAIL                     /* enter(): shutting down, none made */
  :: !stopping && cur != 0 ->
#else
  :: cur != 0 ->
#endif
     i = IDX(cur);
     if
     :: !peer_gone(i) ->                          /* enter(): the standing connection */
        assert(!rec_eof[i]);                      /* never one whose end was read */
        ret = R_OK
     :: else ->
        retire_current()                          /* enter(): retire_current() */
     fi
  :: else
  fi;
  if :: ret == NONE -> drop_if_empty(i, me) :: else fi;  /* enter(): drop_empty_queued() */
  if
  :: ret == NONE ->
     free_slot(s);
     if
     :: s == NONE ->                              /* enter(): none free */
        /* every record is held by a connection that may still carry frames */
        assert(!(
          (rec_phase[0] == QUEUED && !rec_up[0] && cur != WORD(0) && lk_q[LINK(rec_fd[0])] == 0) ||
          (NREC > 1 && rec_phase[1] == QUEUED && !rec_up[1] && cur != WORD(1) && lk_q[LINK(rec_fd[1])] == 0)));
        if :: reconnect -> start_threads() :: else fi;  /* enter(): start_background_reconnect() */
        ret = R_FAIL
     :: else
     fi
  :: else
  fi;
  if
  :: ret != NONE -> unlock(mtx, me); unlock(elk, me)
  :: else -> unlock(mtx, me)
  fi
  };
  if
  :: ret == NONE ->
     connect_server(f, ok);                       /* enter(): connect_server() */
     atomic {
     mtx == 0 -> mtx = me;
     if
     :: !ok ->                                    /* enter(): failed; the receive thread retries */
        if :: reconnect -> start_threads() :: else fi;
        broadcast(changed_w);
        ret = R_FAIL
     :: else ->
        start_threads();                          /* enter(): start_threads() */
        make_current(s, f);                       /* enter(): make_current() */
        ret = R_OK
     fi;
     unlock(mtx, me);
     unlock(elk, me);
     wake_packet_thread(wk)
     }
  :: else
  fi;
  if :: ret == R_FAIL -> app_code(me) :: else fi  /* socket_client_init(): report.print() */
}

/* link_send.cpp: release() */
inline release(w) {
  atomic { rec_users[IDX(w)]--; last = (rec_users[IDX(w)] == 0) };
  if
  :: atomic { last && cur != w -> mtx == 0 -> broadcast(changed_w) }  /* lock, broadcast, unlock */
  :: else
  fi;
  last = 0
}

/* link_send.cpp: socket_send() -> acquire_current(), write_all(), release() */
inline socket_send(on_ph, ret) {
  do
  :: w = cur;                                     /* acquire_current(): load */
     if
     :: w == 0 -> ret = R_FAIL; break
     :: else ->
        rec_users[IDX(w)]++;                      /* acquire_current(): users++ */
        if
        :: atomic { cur == w -> f = rec_fd[IDX(w)] }; break  /* acquire_current(): re-load; socket_send(): fd */
        :: else -> release(w)                     /* acquire_current(): release() */
        fi
     fi
  od;
  if
  :: w != 0 ->
     /* write_all(): the descriptor is the connection's own, still open */
     atomic {
     assert(f < NFD && fd_link[f] != 0 && fd_link[f] != NONE);
     assert(lk_num[LINK(f)] == (w >> 2));
     if                                           /* write_all(): send() */
     :: atomic { (lk_cshut[LINK(f)] || lk_aclosed[LINK(f)]) -> rec_pg[IDX(w)] = 1; ret = R_FAIL }  /* EPIPE */
     :: atomic { !lk_cshut[LINK(f)] && !lk_aclosed[LINK(f)] && !lk_stalled[LINK(f)] -> ret = R_OK }
     :: atomic { on_ph && lk_stalled[LINK(f)] && !lk_cshut[LINK(f)] && !lk_aclosed[LINK(f)] && len(ring) > 0 ->
                 ret = R_TIMEDOUT }              /* wait_writable_on_packet_thread(): gives up */
     fi;
#if CALLS
     if :: ret == R_OK -> sent_num = w >> 2 :: else fi  /* socket_send(): t_sent_number */
#endif
     };
     release(w)                                   /* socket_send(): release() */
  :: else
  fi;
  d_step { w = 0; f = 0 }                         /* dead locals */
}

/* ---- application threads --------------------------------------------- */
#if CALLS
/* McuAgent_call() -> call_blocking(): send_request_frame(): arm_call()
 * (armed, no connection yet), socket_send(), call_sent() (not sent: freed,
 * NOT_SENT; sent: waits on the connection it went to, ENDED at once when
 * that connection's 0 was already delivered); then the wait on
 * g_reg.finished for its result or its deadline.  The agent never answers
 * here: a call sent ends with ENDED, or TIMED_OUT while its connection
 * still stands (a deadline is long beside a shutdown) or after it was
 * freed with no 0 */
inline mcu_call(me, ret) {
  atomic { mtx == 0 -> call_state = C_ARMED; call_conn = 0; call_completions = 0 };  /* arm_call() */
  socket_send(0, ret);
  atomic {                                        /* call_sent() */
    mtx == 0 ->
    if
    :: ret != R_OK -> call_state = C_NONE; ret = R_FAIL   /* free_call(): NOT_SENT */
    :: else ->
       if
       :: call_state == C_ARMED ->
          call_conn = sent_num; call_state = C_PENDING;
          if :: call_conn <= ended_delivered || (dropped & (1 << call_conn)) -> finish_blocking(R_ENDED) :: else fi
       :: else                                    /* ended meanwhile (end_everything) */
       fi
    fi
  };
  if
  :: ret == R_OK ->
     lock(mtx, me);                               /* call_blocking(): the wait */
     do
     :: call_state != C_DONE ->
        atomic { call_w = call_w | (1 << me); mtx = 0 };
        if
        :: atomic { (call_w & (1 << me)) == 0 && mtx == 0 -> mtx = me }
#ifdef STRICT_ENDED
        :: atomic { mtx == 0 && (cur >> 2) == call_conn && call_state == C_PENDING ->  /* the deadline */
#else
        :: atomic { mtx == 0 && ((cur >> 2) == call_conn || (dropped & (1 << call_conn))) && call_state == C_PENDING ->
#endif
             call_w = call_w & ~(1 << me); mtx = me;
             finish_blocking(R_TIMEDOUT) }
        fi
     :: else -> break
     od;
     atomic {
       assert(call_completions == 1);
       ret = call_result; call_state = C_NONE;    /* free_call() */
       unlock(mtx, me)
     }
  :: else
  fi
}
#endif

proctype Sender(byte me) {
  byte w, f, ret, n;
#if CALLS
  byte sent_num;
#endif
  bit last;
#if SHUTDOWN
  last_number > 0 || shut_done;                   /* once a connection was made, or all is over */
#else
  last_number > 0;                                /* sends once a connection was made */
#endif
  n = 0;
  do
#if CALLS
  :: n < SENDS -> mcu_call(me, ret); n++
#else
  :: n < SENDS -> socket_send(0, ret); n++
#endif
  :: else -> break
  od;
  done++
}

proctype AppEntry() {
  byte me = T_APP;
  byte i, s, f, ret, k, l, n;
  bit ok, wk;
  n = 0;
  do
#if SHUTDOWN
  :: n < APP_ENTRIES ->
     ok = shut_done;
     enter(me, ret); n++;
     assert(!ok || ret == R_OK)                   /* after shutdown the entry point starts it again */
#else
  :: n < APP_ENTRIES -> enter(me, ret); n++
#endif
  :: else -> break
  od;
  done++
}

proctype Setter() {
  byte me = T_SET;
  byte c, k;
  bit wk;
#if SET_RECONNECT
  lock(mtx, me);                                  /* set_reconnect_interval() */
  reconnect = 1;
#ifndef FAULT_F1
  if :: entry_called -> start_threads() :: else fi  /* start_background_reconnect() */
#endif
  broadcast(changed_w);
  unlock(mtx, me);
#endif
#if SET_HANDLER
  lock(mtx, me);                                  /* set_connection_handler() */
  handler_set = 1;
  oldest_in(c, NONE);                             /* delivering() */
  if :: c != NONE && rec_up[c] -> up_owed = 1 :: else fi;
  if :: up_owed -> wake_handler_locked(wk) :: else fi;
  unlock(mtx, me);
  wake_packet_thread(wk);
#endif
  done++
}

/* ---- the receive thread (link.cpp) -------------------------------------- */
proctype Receive() {
  byte me = T_RX;
  byte c, k, l, f, s, i, ret, seq;
  byte sf;                                        /* serve()'s descriptor */
  byte logs = 0;
  bit ok, wk, eof;
rx_start:
  atomic { rx_running -> idle = idle & ~(1 << me) };
  do
  :: lock(mtx, me);                               /* receive_thread() */
     do                                           /* next_to_serve() */
     :: oldest_in(c, QUEUED);
        if
        :: c != NONE -> rec_phase[c] = SERVED; rec_start[c] = pushed; break
        :: else
        fi;
#if SHUTDOWN
        if :: stopping -> break :: else fi;       /* next_to_serve(): stopping, all served */
#endif
        if
        :: !reconnect_wanted ->
           cond_wait(changed_w, me, 1)
        :: else ->
           free_slot(s);
           if
           :: s == NONE -> cond_wait(changed_w, me, 1)
           :: else ->
              cond_timedwait(changed_w, me);      /* the reconnect delay */
              if
              :: reconnect_wanted ->               /* connect_in_background() */
                 unlock(mtx, me);
                 lock(elk, me);
                 lock(mtx, me);
                 if :: reconnect_wanted -> free_slot(s) :: else -> s = NONE fi;
                 unlock(mtx, me);
                 if
                 :: s != NONE ->
                    connect_server(f, ok);
                    lock(mtx, me);
                    if :: ok -> make_current(s, f) :: else fi;
                    unlock(mtx, me)
                 :: else
                 fi;
                 unlock(elk, me);
                 wake_packet_thread(wk);
                 lock(mtx, me)
              :: else
              fi
           fi
        fi
     od;
#if SHUTDOWN
     if
     :: c == NONE ->                              /* receive_thread(): returns */
        rx_running = 0;
        wake_handler_locked(wk);                  /* the packet-handle thread sees it gone */
        unlock(mtx, me);
        wake_packet_thread(wk);
        atomic { rx_alive = 0; idle = idle | (1 << me) };
        goto rx_start
     :: else
     fi;
#endif
     unlock(mtx, me);
     sf = rec_fd[c];                               /* serve() */
     do
     :: idle = idle | (1 << me);                 /* socket_wait(): poll */
        atomic { (lk_q[LINK(sf)] > 0 || lk_wshut[LINK(sf)] || lk_cshut[LINK(sf)]) -> idle = idle & ~(1 << me) };
        lock(mtx, me);                            /* room_for_read() */
        do
        :: atomic { len(ring) < RING -> receiver_waiting = 0; unlock(mtx, me) }; break
        :: atomic { len(ring) == RING -> receiver_waiting = 1 }; cond_wait(room_w, me, DISPATCH_APP)
        od;
        atomic {                                  /* serve(): read() */
          if
          :: lk_q[LINK(sf)] > 0 -> lk_q[LINK(sf)]--; seq = lk_rd[LINK(sf)]; lk_rd[LINK(sf)]++; eof = 0
          :: else -> eof = 1; rec_eof[c] = 1
          fi
        };
        if :: eof -> break :: else fi;
        atomic {                                  /* serve(): push */
          mtx == 0 -> ring ! rec_num[c], seq; pushed++; TAKE_WAKE(wk)
        };
        wake_packet_thread(wk)
     od;
#ifndef FAULT_F7
     lock(mtx, me);                               /* serve(): EOF: retire_current() first */
     if :: cur == WORD(c) -> retire_current() :: else fi;
     unlock(mtx, me);
#endif
     app_code(me);                                /* serve(): "socket N disconnected" */
     if
     :: logs < LOG_ENTRIES -> logs++; enter(me, ret)  /* the log handler calls the entry point */
     :: else
     fi;
     lock(mtx, me);                               /* end() */
     if :: cur == WORD(c) -> retire_current() :: else fi;
     sys_shutdown(sf);
     do :: rec_users[c] > 0 -> cond_wait(changed_w, me, 0) :: else -> break od;
     sys_close(sf);
     rec_fd[c] = NONE;
     rec_end[c] = pushed;
     if
     :: !rec_up[c] && rec_end[c] == rec_start[c] && older_pending(c) ->
        END_CALLS_OF(rec_num[c]) rec_phase[c] = FREE  /* folded: no 0 comes, its calls end here */
     :: else -> rec_phase[c] = ENDED
     fi;
     broadcast(changed_w);
     wake_handler_locked(wk);
     unlock(mtx, me);
     wake_packet_thread(wk)
  od
}

/* ---- delivery (link_delivery.cpp, listeners.cpp) -------------------------- */
/* Under the mutex: collect() would produce an item (c: delivering()) */
#define collectable(c) ((c) != NONE && (!rec_up[c] || up_owed || rec_phase[c] == ENDED || pushed != consumed))

/* link_delivery.cpp: collect(): under the mutex, up to BATCH items in
 * stream order into the arrays K, N, S, H (kind, number, sequence, handler) */
inline collect(c, cnt) {
  cnt = 0;                                  /* collect() */
  oldest_in(c, NONE);                       /* delivering() */
  do
  :: c != NONE && cnt < BATCH ->
     if
     :: !rec_up[c] || up_owed ->            /* collect(): its 1 */
        cb_kind[cnt] = (rec_up[c] -> IT_UPH : IT_UP);
        rec_up[c] = 1; up_owed = 0;
        cb_num[cnt] = rec_num[c]; cb_h[cnt] = handler_set; cnt++
     :: else ->
        if
        :: (rec_phase[c] == ENDED -> rec_end[c] - consumed : pushed - consumed) > 0 ->
           ring ? num, seq;                 /* collect(): a frame, never past its end */
           assert(num == rec_num[c]);
           consumed++;
           cb_kind[cnt] = IT_FRAME; cb_num[cnt] = num; cb_seq[cnt] = seq; cnt++
        :: else ->
           if
           :: rec_phase[c] != ENDED -> break
           :: else ->                       /* collect(): its 0, the record free */
              cb_kind[cnt] = IT_DOWN; cb_num[cnt] = rec_num[c]; cb_h[cnt] = handler_set; cnt++;
              rec_phase[c] = FREE;
              broadcast(changed_w);
              oldest_in(c, NONE)
           fi
        fi
     fi
  :: else -> break
  od
}

#if LISTENERS
/* listeners.cpp: McuAgent_remove_listener(): marked removed; a call under
 * way on another thread is waited for (g_reg.finished, 5 s: ETIMEDOUT);
 * from inside its own call it returns at once */
inline remove_listener(me, h, rc) {
  lock(mtx, me);
  if
  :: lst_removed[h] -> rc = R_ENOENT
  :: else ->
     lst_removed[h] = 1; rc = R_OK;
     do
#ifdef FAULT_REMOVE_SELF_WAITS
     :: lst_runner[h] != 0 ->                    /* waits for its own call too */
#elif defined(FAULT_REMOVE_NO_WAIT)
     :: false ->                                 /* does not wait for a call under way */
#else
     :: lst_runner[h] != 0 && lst_runner[h] != me ->
#endif
        atomic { ld_w = ld_w | (1 << me); mtx = 0 };
        if
        :: atomic { (ld_w & (1 << me)) == 0 && mtx == 0 -> mtx = me }
        :: atomic { mtx == 0 -> ld_w = ld_w & ~(1 << me); mtx = me; rc = R_TIMEDOUT }; break  /* 5 s */
        fi
     :: else -> break
     od
  fi;
  atomic {
    unlock(mtx, me);
    if :: rc == R_OK -> lst_gone[h] = 2 :: rc == R_TIMEDOUT -> lst_gone[h] = 1 :: else fi;
    /* removal returned 0: the listener is not running (but for the caller's own call) */
    assert(rc != R_OK || lst_runner[h] == 0 || lst_runner[h] == me)
  }
}

/* listeners.cpp: observe_frame() -> run_listeners(): the handle counter's
 * snapshot; each time, under the mutex, listener_returned() for the last
 * one (running cleared, g_reg.finished broadcast) and next_listener(): the
 * smallest handle above the last called, below the snapshot, not removed,
 * marked running; called with no lock held */
inline call_listeners(me) {
  lock(mtx, me);
  snap = lst_counter; lh = 0;
  do
  :: atomic {
       h = lh + 1;
       do :: h <= snap && lst_removed[h] -> h++ :: else -> break od
     };
     if
     :: h > snap -> break
     :: else ->
#ifdef FAULT_LISTENER_UNMARKED
        atomic { assert(lst_gone[h] == 0); lh = h; unlock(mtx, me) };  /* picked, not marked running */
        lst_runner[h] = me;
#else
        atomic { assert(lst_gone[h] == 0); lst_runner[h] = me; lh = h; unlock(mtx, me) };  /* never picked once removed */
#endif
        atomic { app_code(me); assert(lst_gone[h] != 2) };  /* the listener: never after its removal returned 0 */
#if REMOVE_SELF
        if
        :: h == LISTENERS && !lst_removed[h] ->   /* it removes itself: returns at once */
           remove_listener(me, h, rc); assert(rc == R_OK)
        :: else
        fi;
#endif
        atomic { mtx == 0 -> mtx = me; lst_runner[h] = 0; broadcast(ld_w) }
     fi
  od;
  atomic { unlock(mtx, me); h = 0; lh = 0; snap = 0 }
}
#endif

#if CALLS
/* listeners.cpp: observe_event(): after the 0 of connection n, the calls
 * waiting on it end with ENDED */
inline calls_ended(n) {                          /* observe_event() */
  atomic {
    mtx == 0 ->
    if :: n > ended_delivered -> ended_delivered = n :: else fi;
    if :: call_state == C_PENDING && call_conn == n -> finish_blocking(R_ENDED) :: else fi
  }
}
#endif

/* link_delivery.cpp: deliver(): one item, no lock held; the frame handler
 * may send or call the entry point */
inline deliver_item(me, j) {
  atomic {
  app_code(me);
  if
  :: cb_kind[j] == IT_UP ->
     assert(ev_conn == 0); ev_conn = cb_num[j];
     if :: cb_h[j] -> assert(h_state == 0); h_state = 1 :: else fi
  :: cb_kind[j] == IT_UPH ->
     assert(ev_conn == cb_num[j]);
     if :: cb_h[j] -> assert(h_state == 0); h_state = 1 :: else fi
  :: cb_kind[j] == IT_DOWN ->
     assert(ev_conn == cb_num[j]); ev_conn = 0;
     if :: cb_h[j] -> assert(h_state == 1); h_state = 0 :: else fi
  :: cb_kind[j] == IT_FRAME ->
     assert(ev_conn == cb_num[j]);             /* between its own 1 and 0 */
     assert(cb_seq[j] == dl_next[cb_num[j]]);       /* once, in order */
     dl_next[cb_num[j]]++; delivered++
  fi
  };
  if
  :: cb_kind[j] == IT_FRAME ->
     if                                   /* the frame handler */
     :: sends < PH_SENDS -> sends++; socket_send(1, ret)
     :: entries < PH_ENTRIES -> entries++; enter(me, ret)
     :: true
     fi
#if LISTENERS
     ; call_listeners(me)
#endif
#if CALLS
  :: cb_kind[j] == IT_DOWN -> calls_ended(cb_num[j])
#endif
  :: else
  fi
}

#if !DISPATCH_APP
/* ---- the packet-handle thread (link_delivery.cpp) ------------------------ */
proctype Packet() {
  byte me = T_PH;
  byte c, k, cnt, j, num, seq, w, f, ret, i, s, l;
  byte cb_kind[BATCH], cb_num[BATCH], cb_seq[BATCH];  /* the batch */
  bit cb_h[BATCH];
  byte sends = 0, entries = 0;
  bit ok, wk, last;
#if CALLS
  byte sent_num;
#endif
#if LISTENERS
  byte h, lh, snap, rc;
#endif
ph_start:
  atomic { ph_running -> idle = idle & ~(1 << me) };
  do
  :: lock(mtx, me);                               /* packet_handle_thread() */
     do
     :: atomic { collect(c, cnt) };
        if :: cnt > 0 -> break :: else fi;
#if SHUTDOWN
        if
        :: stopping && !rx_running && c == NONE ->  /* packet_handle_thread(): all delivered, returns */
           atomic { ph_running = 0; unlock(mtx, me); ph_alive = 0; idle = idle | (1 << me) };
           goto ph_start
        :: else
        fi;
#endif
        atomic {                                  /* nothing: sleep */
          if :: receiver_waiting -> broadcast(room_w) :: else fi;
          handler_waiting = 1;
          unlock(mtx, me); idle = idle | (1 << me)
        };
        atomic { wake_bytes > 0 -> assert(pipe_open); wake_bytes--; idle = idle & ~(1 << me) };  /* wait_for_wake() */
        lock(mtx, me)
     od;
     atomic {
       if :: receiver_waiting && len(ring) < RING -> broadcast(room_w) :: else fi;
       unlock(mtx, me);
       j = 0
     };
     do                                           /* deliver(), no lock held */
     :: j < cnt -> deliver_item(me, j); j++
     :: else -> break
     od
  od
}
#else
/* ---- dispatch on the application's threads (link_delivery.cpp) ----------- */
/* refill_carry(): under the mutex, the carried items, or a new collect()
 * when none are left; then the receive thread is woken for room */
inline refill_carry() {
  if
  :: cb_cnt == 0 ->
     collect(c, cnt); cb_head = 0; cb_cnt = cnt;
     if :: receiver_waiting && len(ring) < RING -> broadcast(room_w) :: else fi  /* after_collect(), nothing_collected() */
  :: else
  fi
}

/* McuAgent_dispatch(n): the dispatch role by trylock (EBUSY); then
 * deliver_some(): when the carry is empty, under the mutex refill_carry();
 * items taken from the carry (the role holder's own) and delivered with no
 * lock held; the rest stays carried; at the end settle_readability():
 * refill_carry(); items wait and no byte claimed: the byte written, under
 * the mutex; none wait and a byte claimed: one byte read, and the claim
 * kept when the pipe was still empty (that byte is on its way);
 * handler_waiting = nothing waits */
inline dispatch(me, n, ret) {
  if
  :: atomic { dlk == 0 -> dlk = me }             /* McuAgent_dispatch(): the role */
     ret = 0;
     do
     :: ret < n ->
        if
        :: cb_cnt == 0 ->                         /* deliver_some(): the mutex once per batch */
           lock(mtx, me);
           atomic {
             refill_carry();
             if
             :: cb_cnt == 0 -> unlock(mtx, me); break
             :: else -> unlock(mtx, me)
             fi
           }
        :: else
        fi;
        atomic { j = cb_head; cb_head++; cb_cnt-- };
        deliver_item(me, j); ret++                /* deliver_checked(), no lock held */
     :: else -> break
     od;
     lock(mtx, me);
     atomic {
#ifndef FAULT_PIPE_DRAINED_EARLY
       refill_carry();                            /* settle_readability() */
#endif
       if
       :: cb_cnt > 0 && !has_byte -> assert(pipe_open); wake_bytes++; has_byte = 1
#ifndef FAULT_PIPE_NOT_DRAINED
       :: cb_cnt == 0 && has_byte ->
          if :: wake_bytes > 0 -> wake_bytes--; has_byte = 0 :: else fi  /* read(): empty while on its way */
#endif
       :: else
       fi;
       handler_waiting = (cb_cnt == 0);
       /* it leaves the descriptor readable (or its byte on the way) while
        * items wait, and the pipe empty while none wait */
       oldest_in(c, NONE);
       assert(cb_cnt > 0 || !collectable(c));
       assert(cb_cnt == 0 || wake_bytes > 0 || wk_flight > 0);
       assert(cb_cnt > 0 || wake_bytes == 0);
       unlock(mtx, me);
       dlk = 0;
       j = 0
     }
  :: atomic { dlk != 0 -> ret = R_EBUSY }        /* another thread dispatches */
  fi
}

/* At a point where the application may poll the descriptor, with nobody
 * dispatching and the mutex free: readable, or a byte on its way, whenever
 * items are carried or collectable (no lost wake-up).  Not the converse: a
 * byte still on its way when a dispatch took every item, or a wake for an
 * item not collectable yet (make_current() while an older connection is
 * still being delivered), makes it readable with nothing to deliver, until
 * the next dispatch returns 0 and drains it; -DEXACT_READABLE asserts the
 * equality and shows such a trail */
inline readable_check() {
  atomic {
    if
    :: dlk == 0 && mtx == 0 ->
       oldest_in(c, NONE);
#ifdef EXACT_READABLE
       assert((wake_bytes > 0 || wk_flight > 0) == (cb_cnt > 0 || collectable(c)))
#else
       assert(!(cb_cnt > 0 || collectable(c)) || wake_bytes > 0 || wk_flight > 0)
#endif
    :: else
    fi
  }
}

/* The application's main loop: polls the descriptor, dispatches one or a
 * whole batch; it may stop dispatching for good at any moment */
proctype AppDispatch(byte me) {
  byte c, k, cnt, j, num, seq, w, f, ret, i, s, l, take;
  byte sends = 0, entries = 0;
  bit ok, wk, last;
#if CALLS
  byte sent_num;
#endif
#if LISTENERS
  byte h, lh, snap, rc;
#endif
  do
  :: readable_check();
     atomic { app_polling = 1; idle = idle | (1 << me) };
     atomic { wake_bytes > 0 -> app_polling = 0; idle = idle & ~(1 << me) };  /* poll(): readable */
     if
     :: dispatch(me, 1, ret)
     :: dispatch(me, BATCH, ret)
     fi
  :: app_stopped = 1; break                      /* stops dispatching */
  od;
  done++
}

/* Another application thread dispatches once, at any moment */
proctype Dispatch2() {
  byte me = T_D2;
  byte c, k, cnt, j, num, seq, w, f, ret, i, s, l, take;
  byte sends = 0, entries = 0;
  bit ok, wk, last;
#if CALLS
  byte sent_num;
#endif
#if LISTENERS
  byte h, lh, snap, rc;
#endif
  dispatch(me, BATCH, ret);
  done++
}
#endif

/* ---- the agent server ----------------------------------------------------- */
proctype Agent() {
  byte l;
  do
  :: sessions < SESSIONS ->
     if :: !listening -> listening = 1 :: else fi;      /* comes back */
     idle = idle | (1 << T_AG);
     atomic { backlog ? l -> idle = idle & ~(1 << T_AG) };  /* accept() */
     do                                                /* writes frames */
     :: atomic { written < MAXFR && !lk_cshut[l] && !lk_cclosed[l] -> lk_q[l]++; written++ }
     :: break
     od;
#if AGENT_KEEPS
     idle = idle | (1 << T_AG);                        /* keeps it until the client ends it */
     atomic { lk_cshut[l] -> idle = idle & ~(1 << T_AG) };
#endif
     if :: STALL -> lk_stalled[l] = 1 :: true fi;      /* stops reading */
     if :: HALFCLOSE -> lk_wshut[l] = 1 :: true fi;    /* half-closes */
     atomic {                                          /* closes */
       lk_wshut[l] = 1; lk_aclosed[l] = 1; lk_stalled[l] = 0;
       if :: lk_cclosed[l] -> link_free(l) :: else fi
     };
     sessions++;
     if                                                /* stops listening */
     :: RELISTEN && sessions < SESSIONS ->
        atomic {
          listening = 0;
          do
          :: backlog ? l ->                            /* pending connections are reset */
             lk_wshut[l] = 1; lk_aclosed[l] = 1;
             if :: lk_cclosed[l] -> link_free(l) :: else fi
          :: empty(backlog) -> break
          od
        }
     :: true
     fi
  :: else -> listening = 1; break                      /* listens to the end */
  od
}

#if LISTENERS
/* ---- an application thread removes the first listener at any moment ---- */
proctype Remover() {
  byte me = T_RM;
  byte rc;
  remove_listener(me, 1, rc);                     /* McuAgent_remove_listener() */
  assert(rc == R_OK || rc == R_TIMEDOUT);
  done++
}
#endif

#if SHUTDOWN
/* ---- an application thread shuts the library down, then starts it again - */
/* link.cpp: shutdown_link(): under the entry lock and the mutex `stopping`
 * (entry points fail), the current connection retired, every queued or
 * served one shut down (read to the bytes it holds), the receive thread and
 * the deliverer woken; join_before() each thread: its `running` cleared
 * under the mutex, then pthread_join (the 5 s deadline is not modelled: the
 * model shows the threads end); end_everything(): calls left end with
 * ENDED; then, under both locks, the state reset and `stopping` cleared */
proctype Shutdowner() {
  byte me = T_SD;
  byte i, s, f, ret, k, l;
  bit ok, wk;
  lock(elk, me);                                  /* shutdown_link() */
  lock(mtx, me);
  atomic {
    stopping = 1;
    retire_current();
    i = 0;
    do
    :: i < NREC ->
       if :: rec_phase[i] == QUEUED || rec_phase[i] == SERVED -> sys_shutdown(rec_fd[i]) :: else fi; i++
    :: else -> i = 0; break
    od;
    broadcast(changed_w);
    wake_handler_locked(wk)
  };
  wake_packet_thread(wk);                         /* written under the locks in the code */
  unlock(mtx, me);
  unlock(elk, me);
#ifndef FAULT_SHUTDOWN_NO_JOIN
  atomic { mtx == 0 && !rx_running -> skip };     /* join_before(): receive_running cleared */
  !rx_alive;                                      /* pthread_join */
  atomic { mtx == 0 && !ph_running -> skip };     /* join_before(): packet_running cleared */
  !ph_alive;
#endif
#if CALLS
  atomic {                                        /* end_everything() */
    mtx == 0 ->
#ifdef FAULT_ENDED_TWICE
    if :: call_state != C_NONE -> finish_blocking(R_ENDED) :: else fi   /* a result already in, too */
#else
    if :: call_state == C_ARMED || call_state == C_PENDING -> finish_blocking(R_ENDED) :: else fi
#endif
  };
#endif
  lock(elk, me);
  lock(mtx, me);
  atomic {                                        /* shutdown_link(): the state reset */
    /* nothing of the stopped run is left: every connection read to its
     * end and delivered, its descriptor closed */
    assert(rec_phase[0] == FREE && (NREC < 2 || rec_phase[1 % NREC] == FREE) && (NREC < 3 || rec_phase[2 % NREC] == FREE));
    assert(len(ring) == 0 && ev_conn == 0);
    pipe_open = 0; wake_bytes = 0;                /* the pipe closed */
    handler_waiting = 0; receiver_waiting = 0;
    rx_running = 0; ph_running = 0;
    entry_called = 0;
#ifndef FAULT_STOPPING_KEPT
    stopping = 0;
#endif
    unlock(mtx, me)
  };
  unlock(elk, me);
  shut_done = 1;
  done++
}
#endif

/* ---- the end: once nothing can move ------------------------------------- */
#define THREADS (1 + SENDERS + (SET_RECONNECT || SET_HANDLER) + (LISTENERS > 0) + SHUTDOWN)
proctype Checker() {
#if DISPATCH_APP
  byte c, k, n, l;
#endif
  timeout ->
  /* no deadlock: the application threads returned (every entry point and
   * send returns), the workers wait only where they may wait for good */
#if DISPATCH_APP
  assert(done == THREADS + (DISPATCHERS > 1) + app_stopped);
  assert((idle & ~(1 << T_PH)) == ((1 << T_RX) | (1 << T_AG)) || ((idle & ~(1 << T_PH)) == (1 << T_RX) && sessions == SESSIONS));
  if
  :: !app_stopped ->
     /* the application polls: nothing carried or collectable (no lost
      * wake-up), every frame delivered once, in order */
     assert(app_polling);
     oldest_in(c, NONE);
     assert(cb_cnt == 0 && !collectable(c));
     assert(delivered == written)
  :: else ->
     /* it stopped: what was written is delivered, carried, in the ring or
      * unread in a socket (the receive thread waits for room) */
     d_step {
       n = 0; k = cb_head;
       do :: k < cb_head + cb_cnt -> n = n + (cb_kind[k] == IT_FRAME); k++ :: else -> break od;
       l = 0;
       do :: l < NLINK -> n = n + lk_q[l]; l++ :: else -> break od
     };
     assert(written == delivered + n + len(ring))
  fi;
#else
  assert(done == THREADS);
  assert(idle == ((1 << T_RX) | (1 << T_PH) | (1 << T_AG)) || (idle == ((1 << T_RX) | (1 << T_PH)) && sessions == SESSIONS));
  /* every frame written was delivered once, in order (the sequence checks) */
  assert(delivered == written);
#endif
  /* an agent that listens gets a connection when an interval is set */
  assert(!(listening && reconnect && entry_called) || cur != 0);
  assert(mtx == 0 && elk == 0)
}

init {
  atomic {
#if DISPATCH_APP
    idle = (1 << T_RX);
#else
    idle = (1 << T_RX) | (1 << T_PH);
#endif
    run Agent();
    run Receive();
#if DISPATCH_APP
    run AppDispatch(T_PH);
#if DISPATCHERS > 1
    run Dispatch2();
#endif
#else
    run Packet();
#endif
    run AppEntry();
#if SENDERS > 0
    run Sender(T_S1);
#endif
#if SENDERS > 1
    run Sender(T_S2);
#endif
#if SET_RECONNECT || SET_HANDLER
    run Setter();
#endif
#if LISTENERS
    run Remover();
#endif
#if SHUTDOWN
    run Shutdowner();
#endif
    run Checker()
  }
}
