// Message rate of 16-byte request/reply exchanges between two Unix-domain
// stream sockets of one process: through AsyncSocket on the event loop, and
// through a plain poll(2) loop written here as the baseline. Prints the ratio.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "lib/asyncsocket/asyncsocket.h"
#include "lib/pollDefault/poll.h"

namespace {

constexpr int kMessage = 16;
constexpr int64_t kBatch = 1000;  // exchanges per benchmark iteration

// Exchanges per second of the last measured run, over wall-clock time and
// over the thread's CPU time (which a loaded machine disturbs less).
struct Rate {
  double wall = 0;
  double cpu = 0;
};
Rate plainRate, asyncRate;

double ThreadCpuSeconds() {
  struct timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return now.tv_sec + now.tv_nsec / 1e9;
}

class RateMeter {
 public:
  RateMeter() : wallStart_(std::chrono::steady_clock::now()), cpuStart_(ThreadCpuSeconds()) {}
  Rate Measure(int64_t exchanges) const {
    double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart_).count();
    return Rate{exchanges / wall, exchanges / (ThreadCpuSeconds() - cpuStart_)};
  }

 private:
  std::chrono::steady_clock::time_point wallStart_;
  double cpuStart_;
};

void BM_PlainPollExchange(benchmark::State &state) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0) {
    state.SkipWithError("socketpair failed");
    return;
  }
  int client = pair[0], server = pair[1];
  char request[kMessage] = "request", reply[kMessage] = "reply", in[kMessage];
  struct pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
  int64_t exchanges = 0;
  RateMeter meter;
  for (auto _ : state) {
    int64_t target = exchanges + kBatch;
    if (write(client, request, kMessage) != kMessage) abort();
    while (exchanges < target) {
      if (poll(fds, 2, 1000) <= 0) abort();
      if (fds[1].revents & POLLIN) {
        if (read(server, in, kMessage) != kMessage) abort();
        if (write(server, reply, kMessage) != kMessage) abort();
      }
      if (fds[0].revents & POLLIN) {
        if (read(client, in, kMessage) != kMessage) abort();
        if (++exchanges < target && write(client, request, kMessage) != kMessage) abort();
      }
    }
  }
  plainRate = meter.Measure(exchanges);
  state.SetItemsProcessed(exchanges);
  close(client);
  close(server);
}

struct Exchange {
  AsyncSocket *client = nullptr;
  AsyncSocket *server = nullptr;
  char request[kMessage] = "request";
  char reply[kMessage] = "reply";
  char clientIn[kMessage];
  char serverIn[kMessage];
  int64_t exchanges = 0;
  int64_t target = 0;
  volatile uint8_t exitFlag = 0;
  bool failed = false;
};

void OnAccept(AsyncSocket *asock, void *data) {
  static_cast<Exchange *>(data)->server = asock;
}
void OnConnect(AsyncSocket *asock, void *data) {
  static_cast<Exchange *>(data)->client = asock;
}
void OnError(int, AsyncSocket *, void *data) {
  Exchange *x = static_cast<Exchange *>(data);
  x->failed = true;
  x->exitFlag = 1;
}

void OnRequest(void *, int, AsyncSocket *asock, void *data) {
  AsyncSocket_Send(asock, static_cast<Exchange *>(data)->reply, kMessage, nullptr, nullptr);
}

void OnReply(void *, int, AsyncSocket *asock, void *data) {
  Exchange *x = static_cast<Exchange *>(data);
  if (++x->exchanges < x->target) {
    AsyncSocket_Send(asock, x->request, kMessage, nullptr, nullptr);
  } else {
    x->exitFlag = 1;
  }
}

void BM_AsyncSocketExchange(benchmark::State &state) {
  PollInstallDefault();
  const char *tmp = getenv("TMPDIR");
  std::string path = std::string(tmp ? tmp : "/tmp") + "/sentro-bench-" + std::to_string(getpid());
  unlink(path.c_str());
  Exchange x;
  int error;
  AsyncSocket *listener = AsyncSocket_ListenUnix(path.c_str(), OnAccept, &x, &error);
  AsyncSocket *connecting = AsyncSocket_ConnectUnix(path.c_str(), OnConnect, &x, &error);
  for (int i = 0; i < 1000 && (x.client == nullptr || x.server == nullptr); i++) {
    PollRun(false, &x.exitFlag, POLL_CLASS_MAIN, 10000);
  }
  if (listener == nullptr || connecting == nullptr || x.client == nullptr || x.server == nullptr) {
    state.SkipWithError("could not connect");
    PollShutdown();
    return;
  }
  AsyncSocket_SetErrorHandler(x.client, OnError, &x);
  AsyncSocket_SetErrorHandler(x.server, OnError, &x);
  AsyncSocket_Recv(x.server, x.serverIn, kMessage, OnRequest, &x);
  AsyncSocket_Recv(x.client, x.clientIn, kMessage, OnReply, &x);

  RateMeter meter;
  for (auto _ : state) {
    x.target = x.exchanges + kBatch;
    x.exitFlag = 0;
    AsyncSocket_Send(x.client, x.request, kMessage, nullptr, nullptr);
    PollRun(true, &x.exitFlag, POLL_CLASS_MAIN, 1000000);
    if (x.failed) {
      state.SkipWithError("socket error");
      break;
    }
  }
  asyncRate = meter.Measure(x.exchanges);
  state.SetItemsProcessed(x.exchanges);
  AsyncSocket_Close(x.client);
  AsyncSocket_Close(x.server);
  AsyncSocket_Close(listener);
  unlink(path.c_str());
  PollShutdown();
}

BENCHMARK(BM_PlainPollExchange);
BENCHMARK(BM_AsyncSocketExchange);

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (plainRate.wall > 0 && asyncRate.wall > 0) {
    printf("16-byte exchanges/s (wall): plain poll %.0f, AsyncSocket %.0f; ratio %.2f\n",
           plainRate.wall, asyncRate.wall, asyncRate.wall / plainRate.wall);
    printf(
        "16-byte exchanges/s (cpu):  plain poll %.0f, AsyncSocket %.0f; ratio %.2f"
        " (target >= 0.5)\n",
        plainRate.cpu, asyncRate.cpu, asyncRate.cpu / plainRate.cpu);
  }
  return 0;
}
