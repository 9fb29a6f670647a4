// The local socket of a served machine. A caller sends its working directory and
// command line, with its standard input, output and error attached as descriptors;
// the server runs the command on them and answers with the exit status (4 bytes).
// The command's output thus goes straight where the caller's would have gone.
#include "forwarding.h"

#include "command.h"
#include "event_log.h"
#include "host.h"
#include "output.h"

#include <machine.h>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>

namespace {

const char kSocketName[] = "kelu.sock";
// How often the server's waits look at whether they should stop.
const int kSliceMs = 100;
// A caller has this long to send its request once connected.
const auto kRequestDeadline = std::chrono::seconds(10);
// No command line comes near this; a larger request is not one.
const uint32_t kMaxRequest = 1 << 20;

// The socket's address. A folder too deep for a socket address is reached through
// this process's descriptor for it, which the caller keeps open while it connects.
struct SocketAddress {
    sockaddr_un address = {};
    int folder = -1;

    explicit SocketAddress(const std::string &machineFolder)
    {
        address.sun_family = AF_UNIX;
        std::string path = machineFolder + "/" + kSocketName;
        if (path.size() >= sizeof address.sun_path) {
            folder = open(machineFolder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
            path = "/proc/self/fd/" + std::to_string(folder) + "/" + kSocketName;
        }
        strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    }
    ~SocketAddress()
    {
        if (folder >= 0) close(folder);
    }
    const sockaddr *get() const { return reinterpret_cast<const sockaddr *>(&address); }
};

void AppendField(std::string &request, const std::string &field)
{
    uint32_t size = static_cast<uint32_t>(field.size());
    request.append(reinterpret_cast<const char *>(&size), sizeof size);
    request += field;
}

bool TakeField(const std::string &request, size_t &offset, std::string *field)
{
    uint32_t size = 0;
    if (request.size() - offset < sizeof size) return false;
    memcpy(&size, request.data() + offset, sizeof size);
    offset += sizeof size;
    if (request.size() - offset < size) return false;
    *field = request.substr(offset, size);
    offset += size;
    return true;
}

bool SendAll(int socket, const void *data, size_t size)
{
    const char *bytes = static_cast<const char *>(data);
    while (size > 0) {
        ssize_t sent = send(socket, bytes, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        bytes += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

// Standard descriptors this process lacks are sent as /dev/null.
int StandardDescriptor(int descriptor)
{
    if (fcntl(descriptor, F_GETFD) >= 0) return descriptor;
    return open("/dev/null", O_RDWR | O_CLOEXEC);
}

}  // namespace

std::string MachineFolder() { return MachineEmbeddedOptions().stateDirectory; }

std::optional<int> ForwardToServer(const std::vector<std::string> &words)
{
    SocketAddress address(MachineFolder());
    int server = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (server < 0) return std::nullopt;
    if (connect(server, address.get(), sizeof address.address) != 0) {
        // No socket, or one left by a server that is gone.
        close(server);
        return std::nullopt;
    }
    std::error_code error;
    std::string request;
    AppendField(request, std::filesystem::current_path(error).string());
    for (const std::string &word : words) AppendField(request, word);
    uint32_t size = static_cast<uint32_t>(request.size());

    int descriptors[3] = {StandardDescriptor(0), StandardDescriptor(1), StandardDescriptor(2)};
    char control[CMSG_SPACE(sizeof descriptors)] = {};
    iovec header = {&size, sizeof size};
    msghdr message = {};
    message.msg_iov = &header;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr *rights = CMSG_FIRSTHDR(&message);
    rights->cmsg_level = SOL_SOCKET;
    rights->cmsg_type = SCM_RIGHTS;
    rights->cmsg_len = CMSG_LEN(sizeof descriptors);
    memcpy(CMSG_DATA(rights), descriptors, sizeof descriptors);
    int32_t status = -1;
    bool sent = sendmsg(server, &message, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof size) &&
                SendAll(server, request.data(), request.size());
    size_t received = 0;
    while (sent && received < sizeof status) {
        ssize_t got = recv(server, reinterpret_cast<char *>(&status) + received, sizeof status - received, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        received += static_cast<size_t>(got);
    }
    close(server);
    if (received < sizeof status) {
        fprintf(stderr, "kelu: the running 'kelu serve' ended before the command did.\n");
        return kOperationFailed;
    }
    return status;
}

// One forwarded command: the caller's socket and descriptors, and the command's run.
struct ForwardingServer::Caller {
    int socket = -1;
    int descriptors[3] = {-1, -1, -1};
    FILE *streams[3] = {nullptr, nullptr, nullptr};  // over the descriptors, once opened
    pid_t pid = 0;
    std::atomic<bool> cancelled{false};
    std::atomic<bool> finished{false};
    std::thread thread;

    // The caller's input, output and error as streams; output and error unbuffered,
    // so that what a command prints reaches the caller as it prints it.
    bool OpenStreams()
    {
        static const char *const kModes[3] = {"r", "w", "w"};
        for (int i = 0; i < 3; i++) {
            streams[i] = fdopen(descriptors[i], kModes[i]);
            if (streams[i] == nullptr) return false;
            descriptors[i] = -1;  // the stream closes it
            if (i > 0) setvbuf(streams[i], nullptr, _IONBF, 0);
        }
        return true;
    }

    ~Caller()
    {
        for (FILE *stream : streams)
            if (stream != nullptr) fclose(stream);
        for (int descriptor : descriptors)
            if (descriptor >= 0) close(descriptor);
        close(socket);
    }
};

ForwardingServer::ForwardingServer(std::shared_ptr<ApplicationTable> applications)
    : applications_(std::move(applications))
{
    std::string folder = MachineFolder();
    path_ = folder + "/" + kSocketName;
    SocketAddress address(folder);
    // The folder's own process holds the machine, so a socket file here is one a
    // server that is gone left behind.
    unlink(address.address.sun_path);
    listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // Nobody can connect before listen, so the permissions are right before anyone can.
    bool ready = listener_ >= 0 && bind(listener_, address.get(), sizeof address.address) == 0 &&
                 chmod(address.address.sun_path, S_IRUSR | S_IWUSR) == 0 && listen(listener_, 16) == 0;
    if (!ready) {
        std::string reason = strerror(errno);
        if (listener_ >= 0) close(listener_);
        listener_ = -1;
        throw CommandFailure(kOperationFailed, "cannot make the socket " + path_ + ": " + reason);
    }
}

ForwardingServer::~ForwardingServer() { Stop(); }

void ForwardingServer::Start()
{
    LogEvent("kelu commands on this machine are carried out here (socket " + path_ + ")");
    acceptor_ = std::thread([this] { AcceptCallers(); });
}

void ForwardingServer::Stop()
{
    stop_ = true;
    if (acceptor_.joinable()) acceptor_.join();
    CloseListener();
}

void ForwardingServer::CloseListener()
{
    if (listener_ < 0) return;
    close(listener_);
    listener_ = -1;
    SocketAddress address(MachineFolder());
    unlink(address.address.sun_path);
}

void ForwardingServer::AcceptCallers()
{
    while (!stop_) {
        for (auto caller = callers_.begin(); caller != callers_.end();) {
            if ((*caller)->finished) {
                (*caller)->thread.join();
                caller = callers_.erase(caller);
            } else {
                ++caller;
            }
        }
        pollfd ready = {listener_, POLLIN, 0};
        if (poll(&ready, 1, kSliceMs) <= 0) continue;
        int socket = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (socket < 0) continue;
        // The socket's permissions keep other users out; the credentials say so again.
        ucred peer = {};
        socklen_t length = sizeof peer;
        if (getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || peer.uid != getuid()) {
            close(socket);
            continue;
        }
        auto caller = std::make_unique<Caller>();
        caller->socket = socket;
        caller->pid = peer.pid;
        Caller *served = caller.get();
        caller->thread = std::thread([this, served] {
            Serve(*served);
            served->finished = true;
        });
        callers_.push_back(std::move(caller));
    }
    // From now on a kelu command finds no server and waits for the machine instead.
    CloseListener();
    for (auto &caller : callers_) caller->cancelled = true;
    for (auto &caller : callers_) caller->thread.join();
    callers_.clear();
}

namespace {

// Reads exactly `size` bytes by the deadline, the first ones with the descriptors
// that come with them; false for a caller that does not send them.
bool ReceiveRequest(int socket, uint32_t *size, int descriptors[3], const std::atomic<bool> &stop)
{
    auto deadline = std::chrono::steady_clock::now() + kRequestDeadline;
    pollfd ready = {socket, POLLIN, 0};
    while (poll(&ready, 1, kSliceMs) == 0) {
        if (stop || std::chrono::steady_clock::now() > deadline) return false;
    }
    char control[CMSG_SPACE(3 * sizeof(int))] = {};
    iovec header = {size, sizeof *size};
    msghdr message = {};
    message.msg_iov = &header;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t got = recvmsg(socket, &message, MSG_CMSG_CLOEXEC | MSG_WAITALL);
    cmsghdr *rights = CMSG_FIRSTHDR(&message);
    if (rights != nullptr && rights->cmsg_type == SCM_RIGHTS && rights->cmsg_len == CMSG_LEN(3 * sizeof(int)))
        memcpy(descriptors, CMSG_DATA(rights), 3 * sizeof(int));
    return got == static_cast<ssize_t>(sizeof *size) && descriptors[2] >= 0;
}

bool ReceiveBody(int socket, std::string *body, const std::atomic<bool> &stop)
{
    auto deadline = std::chrono::steady_clock::now() + kRequestDeadline;
    size_t received = 0;
    while (received < body->size()) {
        pollfd ready = {socket, POLLIN, 0};
        if (poll(&ready, 1, kSliceMs) == 0) {
            if (stop || std::chrono::steady_clock::now() > deadline) return false;
            continue;
        }
        ssize_t got = recv(socket, body->data() + received, body->size() - received, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        received += static_cast<size_t>(got);
    }
    return true;
}

}  // namespace

void ForwardingServer::Serve(Caller &caller)
{
    uint32_t size = 0;
    if (!ReceiveRequest(caller.socket, &size, caller.descriptors, stop_) || size > kMaxRequest ||
        !caller.OpenStreams())
        return;
    std::string body(size, '\0');
    std::string directory;
    size_t offset = 0;
    if (!ReceiveBody(caller.socket, &body, stop_) || !TakeField(body, offset, &directory)) return;
    std::vector<std::string> words;
    for (std::string word; offset < body.size();) {
        if (!TakeField(body, offset, &word)) return;
        words.push_back(word);
    }

    CommandContext context;
    context.input = caller.streams[0];
    context.output = caller.streams[1];
    context.error = caller.streams[2];
    context.forwarded = true;
    context.applications = applications_.get();
    context.cancelled = &caller.cancelled;
    std::atomic<bool> done{false};
    int status = kOperationFailed;
    std::thread command([&] {
        // The command runs in its caller's working directory, which is this thread's
        // alone once it has its own file-system context.
        if (unshare(CLONE_FS) != 0 || chdir(directory.c_str()) != 0) {
            UseContext use(context);
            PrintError("kelu: the server cannot work in " + directory + ": " + strerror(errno) + ".\n");
        } else {
            UseContext use(context);
            status = RunCommandLine(words, false);
        }
        done = true;
    });
    // A caller that goes away (interrupted, say) cancels what would wait for ever.
    while (!done) {
        if (caller.cancelled) {
            poll(nullptr, 0, kSliceMs);
            continue;
        }
        pollfd ready = {caller.socket, POLLRDHUP, 0};
        if (poll(&ready, 1, kSliceMs) > 0 || stop_) caller.cancelled = true;
    }
    command.join();
    std::string line;
    for (const std::string &word : words) line += " " + word;
    LogEvent("ran 'kelu" + line + "' for process " + std::to_string(caller.pid) + ": exit " +
             std::to_string(status));
    int32_t answer = status;
    SendAll(caller.socket, &answer, sizeof answer);
}
