// SPDX-License-Identifier: MIT
// The package's event handler, in C, so that the data path needs no Python
// call per chunk: a RECEIVED or TRANSMITTED event costs one atomic test and,
// only when a Python thread or task waits for it, one eventfd write. The
// rare events (connected, disconnected, errors) and, for a host that asked
// for events, every event are handed to a Python callback as well.
//
// Plain C with no Python headers: the package loads it with ctypes.
#define _POSIX_C_SOURCE 200809L
#include <poll.h>
#include <sched.h>
#include <stdatomic.h>
#include <stdint.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#define ZW_SLOTS        64
#define ZW_FDS          3 /* 0: received bytes, 1: room in the transmit ring, 2: state */
#define ZW_STATE_EVENTS ((1 << 1) | (1 << 2) | (1 << 5))

#define ZW_CLOSING (-1000) /* zw_read's result once the port's close has begun */
#define ZW_ENDED   (-1001) /* zw_read's result once the link is lost and the ring is empty */

typedef int32_t (*zw_forward)(uint32_t user, int32_t kind, int32_t value, const char* text);
typedef int32_t (*zw_read_port)(int32_t handle, void* buffer, int32_t capacity, int32_t* count);
typedef int32_t (*zw_any_to_read)(int32_t handle);

struct zw_slot {
  _Atomic uint32_t user; /* the port's id; 0 while the slot is free */
  _Atomic int32_t mask;  /* bit 1 << kind: hand the kind to Python */
  _Atomic int32_t waiting[ZW_FDS];
  _Atomic int32_t connected;
  _Atomic int32_t gave_up;
  _Atomic int32_t lost;         /* the link is lost for good (see zw_lost) */
  _Atomic uint32_t connections; /* CONNECTED events so far */
  int server;                   /* a server port: its link ends when its peer goes */
  _Atomic int32_t closing;
  _Atomic int32_t look_us;   /* zw_read looks for bytes this long before it blocks */
  _Atomic uint32_t received; /* RECEIVED events so far: what zw_read looks at */
  int fd[ZW_FDS];            /* the port's own; the package closes them after the port */
};

static struct zw_slot slots[ZW_SLOTS];
static _Atomic(zw_forward) forward;
static _Atomic(zw_read_port) read_port;
static _Atomic(zw_any_to_read) any_to_read;

static struct zw_slot* slot_of(uint32_t user) {
  struct zw_slot* slot = &slots[user % ZW_SLOTS];
  return user != 0 && atomic_load(&slot->user) == user ? slot : 0;
}

// Wakes the waiter on one descriptor, if there is one.
static void wake(struct zw_slot* slot, int which) {
  if (atomic_exchange(&slot->waiting[which], 0) != 0) {
    const uint64_t one = 1;
    if (write(slot->fd[which], &one, sizeof one) < 0) {
      // The counter is full only if nobody has read it for 2^64 wakes.
    }
  }
}

int32_t zw_handler(int32_t source, int32_t kind, void* data, uint32_t user) {
  (void)source;
  struct zw_slot* slot = slot_of(user);
  if (slot == 0 || kind < 1 || kind > 5) return 0;
  const char* text = 0;
  int32_t value = 0;
  if (kind == 1) {
    text = (const char*)data;
  } else if (data != 0) {
    value = *(const int32_t*)data;
  }
  if (kind == 1) {
    atomic_store(&slot->lost, 0);
    atomic_fetch_add(&slot->connections, 1);
    atomic_store(&slot->connected, 1);
  }
  if (kind == 2) {
    atomic_store(&slot->connected, 0);
    // A server's connection ends with its peer (the port listens for the
    // next one); a port whose receive monitor ended has no link any more.
    if (slot->server || value == 2) atomic_store(&slot->lost, 1);
  }
  if (kind == 5 && value == 5) {
    atomic_store(&slot->gave_up, 1);
    atomic_store(&slot->lost, 1);
  }
  // Python sees the event before any waiter is woken, so that a waiter
  // finds whatever the callback recorded.
  if ((atomic_load(&slot->mask) & (1 << kind)) != 0) {
    const zw_forward call = atomic_load(&forward);
    if (call != 0) call(user, kind, value, text);
  }
  if (kind == 3) {
    atomic_fetch_add(&slot->received, 1);
    wake(slot, 0);
  } else if (kind == 4) {
    wake(slot, 1);
  } else {
    for (int which = 0; which < ZW_FDS; ++which) wake(slot, which);
  }
  return 0;
}

void zw_set_forward(zw_forward call) { atomic_store(&forward, call); }

// The library's ZorReadPort and ZorAnyToRead, for zw_read.
void zw_set_library(zw_read_port read, zw_any_to_read any) {
  atomic_store(&read_port, read);
  atomic_store(&any_to_read, any);
}

// Takes the slot of a new port and makes the port's descriptors; -1 when
// the slot is in use or a descriptor cannot be made. The descriptors are the
// port's: zw_fd gives them, and the package closes them once the port is
// closed and nothing waits on them any more (an asyncio loop may still watch
// one for a moment), so a slot never hands a closed descriptor to a waiter.
int32_t zw_open(uint32_t user, int32_t mask, int32_t server) {
  struct zw_slot* slot = &slots[user % ZW_SLOTS];
  if (user == 0 || atomic_load(&slot->user) != 0) return -1;
  for (int which = 0; which < ZW_FDS; ++which) {
    slot->fd[which] = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (slot->fd[which] < 0) {
      while (which-- > 0) close(slot->fd[which]);
      return -1;
    }
    atomic_store(&slot->waiting[which], 0);
  }
  slot->server = server != 0;
  atomic_store(&slot->mask, mask | ZW_STATE_EVENTS);
  atomic_store(&slot->connected, 0);
  atomic_store(&slot->gave_up, 0);
  atomic_store(&slot->lost, 0);
  atomic_store(&slot->connections, 0);
  atomic_store(&slot->closing, 0);
  atomic_store(&slot->look_us, 0);
  atomic_store(&slot->user, user);
  return 0;
}

// Gives the slot back once the port's close has returned (no handler call
// of the port can come after that), or after a failed open. The port's
// descriptors stay open for the package to close.
void zw_release(uint32_t user) {
  struct zw_slot* slot = slot_of(user);
  if (slot != 0) atomic_store(&slot->user, 0);
}

// In a child made by fork(): the parent's ports are not the child's. The
// package closes the child's copies of their descriptors.
void zw_forget_all(void) {
  for (int index = 0; index < ZW_SLOTS; ++index) atomic_store(&slots[index].user, 0);
}

int32_t zw_fd(uint32_t user, int32_t which) {
  struct zw_slot* slot = slot_of(user);
  return slot != 0 && which >= 0 && which < ZW_FDS ? slot->fd[which] : -1;
}

// How long zw_read looks for received bytes before it blocks (0: it blocks
// at once). A thread blocked on an idle processor of a virtual machine takes
// tens of microseconds to wake, about as long as an answer takes to come
// back through the port's monitors: a reader that looks first, giving up
// the processor between looks, is there when the answer comes. For
// fast-mode ports only; a paced port's bytes come in turns of a millisecond.
void zw_set_look(uint32_t user, int32_t microseconds) {
  struct zw_slot* slot = slot_of(user);
  if (slot != 0) atomic_store(&slot->look_us, microseconds > 0 ? microseconds : 0);
}

void zw_set_mask(uint32_t user, int32_t mask) {
  struct zw_slot* slot = slot_of(user);
  if (slot != 0) atomic_store(&slot->mask, mask | ZW_STATE_EVENTS);
}

// A waiter arms its descriptor, looks at its condition once more and only
// then waits on the descriptor: a wake-up between the two is not lost.
void zw_arm(uint32_t user, int32_t which) {
  struct zw_slot* slot = slot_of(user);
  if (slot != 0 && which >= 0 && which < ZW_FDS) atomic_store(&slot->waiting[which], 1);
}

// The port's close begins: every waiter of the port is woken, and zw_read
// returns ZW_CLOSING from now on.
void zw_wake_all(uint32_t user) {
  struct zw_slot* slot = slot_of(user);
  if (slot == 0) return;
  atomic_store(&slot->closing, 1);
  const uint64_t one = 1;
  for (int which = 0; which < ZW_FDS; ++which) {
    atomic_store(&slot->waiting[which], 0);
    if (write(slot->fd[which], &one, sizeof one) < 0) {
      // See wake().
    }
  }
}

// Waits up to timeout_ms (below 0: for ever) on an armed descriptor and
// empties it. 1 when woken, 0 on a time-out. The caller holds the
// descriptor (the package keeps it open meanwhile), so it is given rather
// than looked up in a slot that a close may hand to the next port.
int32_t zw_wait(int32_t fd, int32_t timeout_ms) {
  if (fd < 0) return 1;
  struct pollfd entry = {fd, POLLIN, 0};
  const int ready = poll(&entry, 1, timeout_ms);
  uint64_t count;
  if (read(fd, &count, sizeof count) < 0) {
    // Nothing to take: a time-out, or another waiter took it.
  }
  return ready > 0 ? 1 : 0;
}

// Empties a descriptor without waiting (an asyncio reader that was woken).
void zw_drain(int32_t fd) {
  uint64_t count;
  if (fd >= 0 && read(fd, &count, sizeof count) < 0) {
    // Already empty.
  }
}

int32_t zw_connected(uint32_t user) {
  struct zw_slot* slot = slot_of(user);
  return slot != 0 ? atomic_load(&slot->connected) : 0;
}

int32_t zw_gave_up(uint32_t user) {
  struct zw_slot* slot = slot_of(user);
  return slot != 0 ? atomic_load(&slot->gave_up) : 0;
}

// The number of connections the port has made or served so far: a stream
// that belongs to one connection ends when the count moves on.
uint32_t zw_connections(uint32_t user) {
  struct zw_slot* slot = slot_of(user);
  return slot != 0 ? atomic_load(&slot->connections) : 0;
}

// 1 once the port's link is lost for good: a client gave up (the retry
// limit) or its receive monitor ended; a server's peer went and no next
// peer has been served yet. A client that reconnects is not lost.
int32_t zw_lost(uint32_t user) {
  struct zw_slot* slot = slot_of(user);
  return slot != 0 ? atomic_load(&slot->lost) : 0;
}

static int64_t now_us(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (int64_t)now.tv_sec * 1000000 + now.tv_nsec / 1000;
}

static int64_t now_ms(void) { return now_us() / 1000; }

// Looks for a RECEIVED event after the count seen (before) up to the slot's
// look time, never past the deadline (in ms; 0: none): 1 as soon as one has
// come. It watches the slot's count rather than calling the library, whose
// calls write a line each to a port's debug log.
static int look_for_bytes(struct zw_slot* slot, uint32_t before, int64_t deadline_ms) {
  const int32_t look = atomic_load(&slot->look_us);
  if (look <= 0) return 0;
  int64_t until = now_us() + look;
  if (deadline_ms != 0 && until > deadline_ms * 1000) until = deadline_ms * 1000;
  while (atomic_load(&slot->closing) == 0) {
    if (atomic_load(&slot->received) != before) return 1;
    if (now_us() >= until) return 0;
    sched_yield();
  }
  return 0;
}

// A read that waits, in one call: up to capacity bytes as soon as there is
// at least one, waiting up to timeout_ms (below 0: for ever) for them. The
// count (0 on a time-out), ZW_ENDED once the link is lost for good and every
// byte received before the loss is taken, ZW_CLOSING once the close has
// begun, or the library's failed result. The caller is the port's one reader.
int32_t zw_read(uint32_t user, int32_t handle, void* buffer, int32_t capacity, int32_t timeout_ms) {
  struct zw_slot* slot = slot_of(user);
  const zw_read_port read_call = atomic_load(&read_port);
  const zw_any_to_read any_call = atomic_load(&any_to_read);
  if (slot == 0 || read_call == 0 || any_call == 0) return ZW_CLOSING;
  const int64_t deadline = timeout_ms < 0 ? 0 : now_ms() + timeout_ms;
  int looked = timeout_ms == 0; /* a read that may not wait does not look either */
  for (;;) {
    if (atomic_load(&slot->closing) != 0) return ZW_CLOSING;
    /* Events after this count come with bytes that the read below may miss. */
    const uint32_t received = atomic_load(&slot->received);
    /* Read before the bytes: the loss is raised after the last of them is
       in the ring, so a read that finds none after it has seen them all. */
    const int32_t lost = atomic_load(&slot->lost);
    int32_t count = 0;
    const int32_t result = read_call(handle, buffer, capacity, &count);
    if (result != 0) return result;
    if (count > 0) return count;
    if (lost) return ZW_ENDED;
    if (!looked) {
      looked = 1;
      if (look_for_bytes(slot, received, deadline)) continue;
    }
    atomic_store(&slot->waiting[0], 1);
    if (atomic_load(&slot->closing) != 0) return ZW_CLOSING;
    if (any_call(handle) != 0 || atomic_load(&slot->lost) != 0) continue;
    int wait = -1;
    if (timeout_ms >= 0) {
      const int64_t left = deadline - now_ms();
      if (left <= 0) return 0;
      wait = (int)left;
    }
    struct pollfd entry = {slot->fd[0], POLLIN, 0};
    poll(&entry, 1, wait);
    uint64_t wakes;
    if (read(slot->fd[0], &wakes, sizeof wakes) < 0) {
      // A time-out: nothing to take.
    }
  }
}
