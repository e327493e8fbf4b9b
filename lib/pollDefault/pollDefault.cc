// The default event loop: a sorted list of timers, per-class descriptor tables
// served through poll(2), and a wake-up pipe so that a registration made by
// another thread interrupts a waiting poll.
//
// One lock ("pollDefaultLock") guards every list and table. It is released
// while poll waits and while a callback runs, so callbacks and other threads
// may register and remove freely. Records are reference counted and recycled
// through a free list: a record that a running step still refers to is never
// reused under it, and a periodic timer fires and re-arms without allocating.
#include "lib/pollDefault/pollDefault.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <memory>
#include <utility>

#include "lib/log/clock.h"
#include "lib/log/log.h"
#include "lib/log/verify.h"
#include "lib/pollDefault/poll.h"

namespace {

// Periodic timers may fire this much before their deadline.
constexpr int64_t kEarlyFiringUs = 2000;
// A timer whose lock keeps failing is skipped once it is this late ...
constexpr int64_t kSkipLateUs = 1000000;
// ... and has failed more often than this in a row.
constexpr uint32_t kSkipFailures = 10;
// The wait backs off once a timer is this late and its lock failed this often.
constexpr int64_t kBackoffLateUs = 1000;
constexpr uint32_t kBackoffFailures = 100;
constexpr int64_t kBackoffUs = 1000;

struct PollRecord {
  PollRecord *next;
  uint32_t refCount;  // the list holds one; a running step holds more
  PollClassSet classSet;
  int flags;
  uint8_t onQueue;
  PollerFunction fn;
  void *clientData;
  int64_t deadline;
  std::mutex *lock;
  uint8_t removed;
  uint32_t lockFailures;
  int64_t info;  // period of a periodic timer, 0 for a one-shot; descriptor of a device
  int64_t nextRetry;
  PollEventType type;
  // The timer walk that last fired this record. A periodic timer with a period
  // under the early-firing margin would otherwise be due again at once and the
  // walk, which restarts after every firing, would never end.
  uint64_t firedInWalk;
  // Added without delay: deferred work, run in the order it was added.
  uint8_t deferred;
};

struct ClassEntry {
  int fd;
  short events;
  PollRecord *reader;
  PollRecord *writer;
};

struct ClassTable {
  int count;
  ClassEntry entries[POLL_MAX_CLASS_ENTRIES];
};

// Class 5 has a wake-up slot of its own; classes 0 to 4 share the other.
struct WakeSlot {
  int readFd;
  int writeFd;
  bool wakePending;
  bool changed;  // a table of the slot's classes changed
  int waiters;   // threads waiting in poll for one of the slot's classes
};

struct PollContext {
  std::mutex lock;  // "pollDefaultLock"
  PollRecord *timers;
  PollRecord *devices;
  PollRecord *freeList;
  ClassTable tables[POLL_NUM_CLASSES];
  WakeSlot wake[2];
  uint64_t walkCount;
};

// Working memory of one descriptor step, allocated on a thread's first wait.
struct StepScratch {
  pollfd fds[POLL_MAX_CLASS_ENTRIES + 1];
  PollRecord *ready[2 * POLL_MAX_CLASS_ENTRIES];
  int invalidFds[POLL_MAX_CLASS_ENTRIES];
  short invalidRevents[POLL_MAX_CLASS_ENTRIES];
};

PollContext *ctx = nullptr;
PollSystemCall systemPoll = ::poll;
thread_local std::unique_ptr<StepScratch> scratch;
// The now of the timer walk this thread is in, or kNoWalk. A timer without
// delay added by a callback counts from the walk's now, not from a fresh
// reading of the clock, so it is due in the walk that is running.
constexpr int64_t kNoWalk = INT64_MIN;
thread_local int64_t walkNow = kNoWalk;

constexpr PollClassSet ClassBit(int cls) {
  return PollClassSet(1) << cls;
}

WakeSlot &SlotOf(int cls) {
  return ctx->wake[cls == 5 ? 1 : 0];
}

bool IsPeriodic(const PollRecord *rec) {
  return rec->flags & POLL_FLAG_PERIODIC;
}

bool FdIsOpen(int fd) {
  return fcntl(fd, F_GETFD) >= 0;
}

/*
 * Records and lists.
 */

PollRecord *NewRecord() {
  PollRecord *rec = ctx->freeList;
  if (rec != nullptr) {
    ctx->freeList = rec->next;
    *rec = PollRecord{};
  } else {
    rec = new PollRecord{};
  }
  rec->refCount = 1;
  return rec;
}

void Recycle(PollRecord *rec) {
  rec->onQueue = 0;
  rec->next = ctx->freeList;
  ctx->freeList = rec;
}

void Release(PollRecord *rec) {
  VERIFY(rec->refCount > 0);
  if (--rec->refCount == 0) {
    Recycle(rec);
  }
}

void Unlink(PollRecord **head, PollRecord *rec) {
  for (PollRecord **link = head; *link != nullptr; link = &(*link)->next) {
    if (*link == rec) {
      *link = rec->next;
      rec->next = nullptr;
      rec->onQueue = 0;
      return;
    }
  }
}

void FreeList(PollRecord *rec) {
  while (rec != nullptr) {
    PollRecord *next = rec->next;
    delete rec;
    rec = next;
  }
}

// Inserts before the first timer whose deadline is not earlier, so of two
// timers with the same deadline the later registration fires first. Deferred
// work is the exception: it goes behind the deferred work of its deadline
// that is already there. Returns the classes for which the record became the
// first timer.
PollClassSet InsertTimer(PollRecord *rec) {
  PollClassSet ahead = 0;
  PollRecord **link = &ctx->timers;
  while (*link != nullptr &&
         ((*link)->deadline < rec->deadline ||
          (rec->deferred && (*link)->deferred && (*link)->deadline == rec->deadline))) {
    ahead |= (*link)->classSet;
    link = &(*link)->next;
  }
  rec->next = *link;
  *link = rec;
  rec->onQueue = 1;
  return rec->classSet & ~ahead;
}

/*
 * Wake-ups.
 */

void WakeSlotWaiter(WakeSlot &slot) {
  if (slot.waiters == 0 || slot.wakePending) {
    return;
  }
  slot.wakePending = true;
  char byte = 1;
  // A full pipe already holds a wake-up; nothing more is needed.
  (void)!write(slot.writeFd, &byte, 1);
}

void WakeClasses(PollClassSet classes) {
  if (classes & 0x1f) {
    WakeSlotWaiter(ctx->wake[0]);
  }
  if (classes & ClassBit(5)) {
    WakeSlotWaiter(ctx->wake[1]);
  }
}

void MarkChanged(PollClassSet classes) {
  if (classes & 0x1f) {
    ctx->wake[0].changed = true;
  }
  if (classes & ClassBit(5)) {
    ctx->wake[1].changed = true;
  }
}

void DrainWakePipe(int fd) {
  char byte;
  while (read(fd, &byte, 1) == 1) {
  }
}

/*
 * Class tables.
 */

int FindEntry(const ClassTable &table, int fd) {
  for (int i = 0; i < table.count; i++) {
    if (table.entries[i].fd == fd) {
      return i;
    }
  }
  return -1;
}

ClassEntry &FindOrAppendEntry(ClassTable &table, int fd) {
  int index = FindEntry(table, fd);
  if (index >= 0) {
    return table.entries[index];
  }
  VERIFY(table.count < POLL_MAX_CLASS_ENTRIES);
  ClassEntry &entry = table.entries[table.count++];
  entry = ClassEntry{fd, 0, nullptr, nullptr};
  return entry;
}

void RemoveEntry(ClassTable &table, int index) {
  table.entries[index] = table.entries[table.count - 1];
  table.count--;
}

void ClearSlots(PollRecord *rec) {
  int fd = static_cast<int>(rec->info);
  for (int cls = 0; cls < POLL_NUM_CLASSES; cls++) {
    if (!(rec->classSet & ClassBit(cls))) {
      continue;
    }
    ClassTable &table = ctx->tables[cls];
    int index = FindEntry(table, fd);
    if (index < 0) {
      continue;
    }
    ClassEntry &entry = table.entries[index];
    if (entry.reader == rec) {
      entry.reader = nullptr;
      entry.events &= ~POLLIN;
    }
    if (entry.writer == rec) {
      entry.writer = nullptr;
      entry.events &= ~POLLOUT;
    }
    if (entry.reader == nullptr && entry.writer == nullptr) {
      RemoveEntry(table, index);
    }
  }
  MarkChanged(rec->classSet);
}

// Takes a registered record out of the loop: off its list and, for a
// descriptor, out of the class tables. Drops the list's reference.
void Unregister(PollRecord *rec) {
  rec->removed = 1;
  if (rec->type == POLL_REALTIME) {
    Unlink(&ctx->timers, rec);
  } else {
    Unlink(&ctx->devices, rec);
    ClearSlots(rec);
  }
  Release(rec);
}

/*
 * Firing.
 */

bool TryLockRecord(PollRecord *rec) {
  if (rec->lock == nullptr || rec->lock->try_lock()) {
    return true;
  }
  rec->lockFailures++;
  return false;
}

// Runs a record whose own lock is already held, with the loop lock released.
void Call(PollRecord *rec) {
  ctx->lock.unlock();
  rec->fn(rec->clientData);
  if (rec->lock != nullptr) {
    rec->lock->unlock();
  }
  ctx->lock.lock();
  rec->lockFailures = 0;
}

/*
 * Registration.
 */

// A timer without delay is deferred work: such timers run in the order they
// were added. Other delays count from the clock, so that a slow callback
// never makes them early.
int AddTimer(PollRecord *rec, int64_t delayUs) {
  rec->deferred = delayUs <= 0;
  rec->info = IsPeriodic(rec) ? delayUs : 0;
  rec->deadline =
      (rec->deferred && walkNow != kNoWalk ? walkNow : ClockMonotonicMicros()) + delayUs;
  WakeClasses(InsertTimer(rec));
  return POLL_OK;
}

int AddDevice(PollRecord *rec, int fd) {
  // Check every class first so that a full table changes nothing.
  for (int cls = 0; cls < POLL_NUM_CLASSES; cls++) {
    const ClassTable &table = ctx->tables[cls];
    if ((rec->classSet & ClassBit(cls)) && table.count >= POLL_MAX_CLASS_ENTRIES &&
        FindEntry(table, fd) < 0) {
      Warning("POLL: reached limit of %d events in class %d\n", POLL_MAX_CLASS_ENTRIES, cls);
      Recycle(rec);
      return POLL_LIMIT_REACHED;
    }
  }
  for (int cls = 0; cls < POLL_NUM_CLASSES; cls++) {
    if (!(rec->classSet & ClassBit(cls))) {
      continue;
    }
    ClassEntry &entry = FindOrAppendEntry(ctx->tables[cls], fd);
    if (rec->flags & POLL_FLAG_READ) {
      entry.reader = rec;
      entry.events |= POLLIN;
    }
    if (rec->flags & POLL_FLAG_WRITE) {
      entry.writer = rec;
      entry.events |= POLLOUT;
    }
  }
  rec->next = ctx->devices;
  ctx->devices = rec;
  rec->onQueue = 1;
  MarkChanged(rec->classSet);
  WakeClasses(rec->classSet);
  return POLL_OK;
}

int DefaultAddCallback(PollClassSet classSet, int flags, PollerFunction fn, void *clientData,
                       PollEventType type, int64_t info, std::mutex *lock) {
  VERIFY(classSet != 0 && (classSet >> POLL_NUM_CLASSES) == 0);
  VERIFY(type == POLL_REALTIME || type == POLL_DEVICE);
  std::lock_guard<std::mutex> guard(ctx->lock);
  PollRecord *rec = NewRecord();
  rec->classSet = classSet;
  rec->flags = flags;
  rec->fn = fn;
  rec->clientData = clientData;
  rec->lock = lock;
  rec->type = type;
  if (type == POLL_REALTIME) {
    return AddTimer(rec, info);
  }
  rec->info = info;
  return AddDevice(rec, static_cast<int>(info));
}

bool DefaultRemoveCallback(PollClassSet classSet, int flags, PollerFunction fn, void *clientData,
                           PollEventType type) {
  std::lock_guard<std::mutex> guard(ctx->lock);
  PollRecord *rec = type == POLL_REALTIME ? ctx->timers : ctx->devices;
  for (; rec != nullptr; rec = rec->next) {
    if (rec->fn == fn && rec->clientData == clientData && rec->classSet == classSet &&
        rec->flags == flags) {
      Unregister(rec);
      return true;
    }
  }
  return false;
}

/*
 * The timer step.
 */

bool IsDue(const PollRecord *rec, int64_t now, uint64_t walk) {
  if (IsPeriodic(rec)) {
    return rec->firedInWalk != walk;  // the caller checked the early-firing margin
  }
  return rec->deadline <= now;
}

void RunTimers(int cls) {
  int64_t now = ClockMonotonicMicros();
  uint64_t walk = ++ctx->walkCount;
  int64_t outerWalkNow = std::exchange(walkNow, now);  // a callback may run a nested walk
  PollRecord **link = &ctx->timers;
  while (*link != nullptr) {
    PollRecord *rec = *link;
    if (rec->deadline > now + kEarlyFiringUs) {
      break;
    }
    if (!IsDue(rec, now, walk) || !(rec->classSet & ClassBit(cls))) {
      link = &rec->next;
      continue;
    }
    if (!TryLockRecord(rec)) {
      // The record keeps its place and deadline. Only a timer that is very
      // late and keeps failing lets the ones behind it go first.
      if (now - rec->deadline > kSkipLateUs && rec->lockFailures > kSkipFailures) {
        link = &rec->next;
        continue;
      }
      break;
    }
    *link = rec->next;
    rec->onQueue = 0;
    rec->refCount++;
    if (IsPeriodic(rec)) {
      rec->deadline = now + rec->info;
      rec->firedInWalk = walk;
      InsertTimer(rec);
    }
    Call(rec);
    if (!IsPeriodic(rec)) {
      // A one-shot record left the list before it ran; drop the list's reference.
      rec->removed = 1;
      Release(rec);
    }
    Release(rec);
    link = &ctx->timers;  // a callback may have added a timer that is already due
  }
  walkNow = outerWalkNow;
}

int64_t ComputeWait(int cls, int64_t maxWaitUs) {
  if (maxWaitUs <= 0) {
    return 0;
  }
  PollRecord *rec = ctx->timers;
  while (rec != nullptr && !(rec->classSet & ClassBit(cls))) {
    rec = rec->next;
  }
  if (rec == nullptr) {
    return maxWaitUs;
  }
  int64_t now = ClockMonotonicMicros();
  int64_t wait;
  if (now - rec->deadline > kBackoffLateUs && rec->lockFailures > kBackoffFailures) {
    int64_t backoffStart = rec->nextRetry - kBackoffUs;
    if (rec->lockFailures % 10 == 0 && now - backoffStart > 300) {
      rec->nextRetry = now + kBackoffUs;
      wait = kBackoffUs;
    } else {
      int64_t left = rec->nextRetry - now;
      wait = left > 299 ? left : 0;
    }
  } else {
    wait = rec->deadline - now;
  }
  if (wait < 0) {
    return 0;
  }
  return wait < maxWaitUs ? wait : maxWaitUs;
}

/*
 * The descriptor step.
 */

void DumpAndDie(int cls) {
  const ClassTable &table = ctx->tables[cls];
  for (int i = 0; i < table.count; i++) {
    const ClassEntry &entry = table.entries[i];
    Warning("POLL fds %d: %c%c\n", entry.fd, (entry.events & POLLIN) ? 'r' : '-',
            (entry.events & POLLOUT) ? 'w' : '-');
  }
  Warning("POLL class %d\n", cls);
  for (PollRecord *rec = ctx->devices; rec != nullptr; rec = rec->next) {
    Warning("POLL func %p(%p) flags %#x count %d onQueue %d handle %ld %s\n",
            reinterpret_cast<void *>(rec->fn), rec->clientData, rec->flags, rec->refCount,
            rec->onQueue, static_cast<long>(rec->info),
            FdIsOpen(static_cast<int>(rec->info)) ? "good" : "bad");
  }
  VERIFY(false);
}

void *FnAddress(const PollRecord *rec) {
  return rec == nullptr ? nullptr : reinterpret_cast<void *>(rec->fn);
}

// Deletes the callbacks of a descriptor that the kernel reports as not open.
void DeleteInvalidEntry(int cls, int fd, short revents) {
  ClassTable &table = ctx->tables[cls];
  int index = FindEntry(table, fd);
  if (index < 0) {
    return;
  }
  ClassEntry entry = table.entries[index];
  Warning("POLL invalid fd %d events %#x revents %#x reader cbFn %p writer cbFn %p\n", fd,
          entry.events, revents, FnAddress(entry.reader), FnAddress(entry.writer));
  bool deleted = true;
  while (deleted) {
    deleted = false;
    for (PollRecord *rec = ctx->devices; rec != nullptr; rec = rec->next) {
      if (rec == entry.reader || rec == entry.writer) {
        Warning("POLL: deleting entry %p for invalid fd %d\n", static_cast<void *>(rec), fd);
        Unregister(rec);
        deleted = true;
        break;
      }
    }
  }
  index = FindEntry(table, fd);
  if (index >= 0) {
    RemoveEntry(table, index);
    MarkChanged(ClassBit(cls));
  }
}

void FireDevice(PollRecord *rec) {
  if (!TryLockRecord(rec)) {
    return;  // stays registered as it was and is tried again next time
  }
  bool periodic = IsPeriodic(rec);
  if (!periodic) {
    Unlink(&ctx->devices, rec);
    ClearSlots(rec);
  }
  Call(rec);
  if (!periodic) {
    rec->removed = 1;
    Release(rec);  // the list's reference
  }
}

void RunDescriptors(int cls, int64_t waitUs) {
  ClassTable &table = ctx->tables[cls];
  WakeSlot &slot = SlotOf(cls);
  if (table.count == 0 && waitUs == 0) {
    return;
  }
  if (scratch == nullptr) {
    scratch.reset(new StepScratch);
  }
  StepScratch &s = *scratch;
  int count = table.count;
  for (int i = 0; i < count; i++) {
    s.fds[i] = pollfd{table.entries[i].fd, table.entries[i].events, 0};
  }
  s.fds[count] = pollfd{slot.readFd, POLLIN, 0};

  slot.changed = false;
  slot.waiters++;
  ctx->lock.unlock();
  int rc = systemPoll(s.fds, count + 1, static_cast<int>((waitUs + 999) / 1000));
  int pollErrno = errno;
  ctx->lock.lock();
  slot.waiters--;
  if (slot.wakePending && slot.waiters == 0) {
    DrainWakePipe(slot.readFd);
    slot.wakePending = false;
  }
  if (rc < 0) {
    if (pollErrno == EBADF) {
      DumpAndDie(cls);
    }
    return;
  }
  if (slot.changed) {
    return;  // the table changed under the poll; the next iteration polls again
  }

  int numReady = 0;
  int numInvalid = 0;
  for (int i = 0; i < count; i++) {
    short revents = s.fds[i].revents;
    if (revents == 0) {
      continue;
    }
    if (revents & POLLNVAL) {
      s.invalidFds[numInvalid] = s.fds[i].fd;
      s.invalidRevents[numInvalid++] = revents;
      continue;
    }
    const ClassEntry &entry = table.entries[i];
    if ((revents & (POLLIN | POLLERR | POLLHUP)) && entry.reader != nullptr) {
      s.ready[numReady++] = entry.reader;
    }
    if ((revents & (POLLOUT | POLLERR | POLLHUP)) && entry.writer != nullptr &&
        entry.writer != entry.reader) {
      s.ready[numReady++] = entry.writer;
    }
  }
  for (int i = 0; i < numReady; i++) {
    s.ready[i]->refCount++;
  }
  for (int i = 0; i < numInvalid; i++) {
    DeleteInvalidEntry(cls, s.invalidFds[i], s.invalidRevents[i]);
  }
  for (int i = 0; i < numReady; i++) {
    PollRecord *rec = s.ready[i];
    if (!rec->removed) {
      FireDevice(rec);
    }
    Release(rec);
  }
}

/*
 * The operations.
 */

bool ExitRequested(volatile uint8_t *exitFlag) {
  return exitFlag != nullptr && *exitFlag != 0;
}

void DefaultRun(bool loop, volatile uint8_t *exitFlag, int cls, int64_t maxWaitUs) {
  VERIFY(cls >= 0 && cls < POLL_NUM_CLASSES);
  if (ExitRequested(exitFlag)) {
    Log("Poll: Asked to return before even starting!\n");
    return;
  }
  ctx->lock.lock();
  for (;;) {
    if (ExitRequested(exitFlag)) {
      break;
    }
    ctx->lock.unlock();  // let waiting registrations in
    ctx->lock.lock();
    RunTimers(cls);
    if (ExitRequested(exitFlag)) {
      break;
    }
    RunDescriptors(cls, ComputeWait(cls, maxWaitUs));
    if (ExitRequested(exitFlag) || !loop) {
      break;
    }
  }
  ctx->lock.unlock();
}

void MakeNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
    NOT_IMPLEMENTED();
  }
}

void DefaultInit() {
  VERIFY(ctx == nullptr);
  ctx = new PollContext();
  for (WakeSlot &slot : ctx->wake) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
      NOT_IMPLEMENTED();
    }
    MakeNonBlocking(fds[0]);
    MakeNonBlocking(fds[1]);
    slot.readFd = fds[0];
    slot.writeFd = fds[1];
  }
}

void DefaultExit() {
  VERIFY(ctx != nullptr);
  for (WakeSlot &slot : ctx->wake) {
    close(slot.readFd);
    close(slot.writeFd);
  }
  FreeList(ctx->timers);
  FreeList(ctx->devices);
  FreeList(ctx->freeList);
  delete ctx;
  ctx = nullptr;
}

const PollImpl defaultImpl = {DefaultInit, DefaultExit, DefaultRun, DefaultAddCallback,
                              DefaultRemoveCallback};

}  // namespace

const PollImpl *PollDefaultImpl() {
  return &defaultImpl;
}

void PollDefaultSetSystemCall(PollSystemCall call) {
  systemPoll = call != nullptr ? call : ::poll;
}
