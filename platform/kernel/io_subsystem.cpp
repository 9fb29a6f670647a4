// Start and stop of the I/O, Plug and Play and power managers, and the worker
// threads they run background work on.
#include "io_subsystem.h"

#include "io_manager.h"
#include "ke.h"
#include "loader.h"
#include "machine.h"
#include "pnp_internal.h"

#include <condition_variable>
#include <thread>

struct IoSystem {
    IoWorkQueue worker{"io"};
};

namespace {
std::atomic<bool> g_stopping{false};
}

struct IoWorkQueue::State {
    const char *name;
    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::function<void()>> items;
    bool running = false;  // an item is running
    bool quit = false;
    unsigned long long posted = 0;
    std::thread thread;
};

IoWorkQueue::IoWorkQueue(const char *name) : state_(new State) {
    state_->name = name;
    state_->thread = std::thread([state = state_] {
        KeEnterSystemContext();
        std::unique_lock<std::mutex> guard(state->lock);
        for (;;) {
            state->changed.wait(guard, [&] { return state->quit || !state->items.empty(); });
            if (state->items.empty())
                return;
            std::function<void()> work = std::move(state->items.front());
            state->items.pop_front();
            state->running = true;
            guard.unlock();
            work();
            guard.lock();
            state->running = false;
            state->changed.notify_all();
        }
    });
}

IoWorkQueue::~IoWorkQueue() {
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        state_->quit = true;
        state_->changed.notify_all();
    }
    state_->thread.join();
    delete state_;
}

void IoWorkQueue::post(std::function<void()> work) {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->items.push_back(std::move(work));
    state_->posted++;
    state_->changed.notify_all();
}

void IoWorkQueue::run(const std::function<void()> &work) {
    if (onQueueThread()) {
        work();
        return;
    }
    std::mutex doneLock;
    std::condition_variable doneChanged;
    bool done = false;
    post([&] {
        work();
        std::lock_guard<std::mutex> guard(doneLock);
        done = true;
        doneChanged.notify_all();
    });
    std::unique_lock<std::mutex> guard(doneLock);
    doneChanged.wait(guard, [&] { return done; });
}

void IoWorkQueue::waitIdle() {
    std::unique_lock<std::mutex> guard(state_->lock);
    state_->changed.wait(guard, [&] { return state_->items.empty() && !state_->running; });
}

bool IoWorkQueue::onQueueThread() const {
    return std::this_thread::get_id() == state_->thread.get_id();
}

unsigned long long IoWorkQueue::postedCount() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->posted;
}

IoWorkQueue &IoWorker() {
    return MachineCurrent()->io->worker;
}

void IoPostToWorker(std::function<void()> work) {
    Machine *machine = MachineRunning();
    if (!machine || !machine->io) {
        work();  // shutting down: nothing runs concurrently any more
        return;
    }
    machine->io->worker.post(std::move(work));
}

bool IoIsStopping() {
    return g_stopping.load();
}

void IoSubsystemStart(Machine *machine) {
    g_stopping = false;
    machine->io = new IoSystem;
    PnpStart();
}

// Applications' files are closed first, while their drivers are still there; then
// every device is removed (children first) and its driver unloaded.
void IoSubsystemStop(Machine *machine) {
    PsTerminateProcess(PsDefaultProcess());
    PnpStop();
    machine->io->worker.waitIdle();
    LoaderShutdown();
    g_stopping = true;
    delete machine->io;
    machine->io = nullptr;
    IoDrainIrpQuarantine();
}
