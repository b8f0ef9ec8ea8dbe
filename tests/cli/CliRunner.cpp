#include "CliRunner.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace tallymere::testing {

std::filesystem::path cliBinary() {
    return std::filesystem::path(TALLYMERE_BINARY_DIR) / "cli" / "tallymere-cli";
}

CliProcess::CliProcess(const std::vector<std::string>& arguments,
                       const std::map<std::string, std::string>& environment) {
    int outPipe[2];
    int errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    const std::string binary = cliBinary().string();
    std::vector<std::string> argv{binary};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int null = ::open("/dev/null", O_RDONLY);
        ::dup2(null, STDIN_FILENO);
        ::dup2(outPipe[1], STDOUT_FILENO);
        ::dup2(errPipe[1], STDERR_FILENO);
        for (const auto& [name, value] : environment) {
            if (value.empty())
                ::unsetenv(name.c_str());
            else
                ::setenv(name.c_str(), value.c_str(), 1);
        }
        std::vector<char*> pointers;
        for (auto& argument : argv)
            pointers.push_back(argument.data());
        pointers.push_back(nullptr);
        ::execv(binary.c_str(), pointers.data());
        ::_exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    outFd = outPipe[0];
    errFd = errPipe[0];
}

CliProcess::~CliProcess() {
    if (!done && pid > 0) {
        ::kill(pid, SIGKILL);
        finish();
    }
    if (outFd >= 0) ::close(outFd);
    if (errFd >= 0) ::close(errFd);
}

bool CliProcess::pump(int timeoutMs) {
    std::vector<pollfd> fds;
    if (outFd >= 0) fds.push_back({outFd, POLLIN, 0});
    if (errFd >= 0) fds.push_back({errFd, POLLIN, 0});
    if (fds.empty()) return false;
    if (::poll(fds.data(), fds.size(), timeoutMs) <= 0) return true;
    for (const pollfd& fd : fds) {
        if (!(fd.revents & (POLLIN | POLLHUP | POLLERR))) continue;
        char buffer[4096];
        const ssize_t n = ::read(fd.fd, buffer, sizeof buffer);
        std::string& target = fd.fd == outFd ? result.out : result.err;
        if (n > 0) {
            target.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            ::close(fd.fd);
            (fd.fd == outFd ? outFd : errFd) = -1;
        }
    }
    return true;
}

bool CliProcess::waitForError(const std::string& text, std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (result.err.find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > end || !pump(100)) return false;
    }
    return true;
}

void CliProcess::signal(int number) {
    ::kill(pid, number);
}

CliResult CliProcess::finish() {
    if (done) return result;
    while (pump(1000)) {
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    done = true;
    return result;
}

CliResult runCli(const std::vector<std::string>& arguments,
                 const std::map<std::string, std::string>& environment) {
    CliProcess process(arguments, environment);
    return process.finish();
}

} // namespace tallymere::testing
