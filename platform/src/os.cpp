#include "qo/os.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace qo::os {
namespace {

std::atomic<MessageBoxFn> g_handler{nullptr};

MessageBoxFn exportedHandler() {
    static MessageBoxFn found = reinterpret_cast<MessageBoxFn>(dlsym(RTLD_DEFAULT, "qo_message_box"));
    return found;
}

constexpr int kShellOk = 42;
constexpr int kFileNotFound = 2, kPathNotFound = 3, kOutOfMemory = 8, kNoAssociation = 31;

bool hasScheme(const std::string& s) {
    size_t colon = s.find(':');
    if (colon == std::string::npos || colon < 2) return false;  // "C:" or a plain name
    for (size_t i = 0; i < colon; ++i) {
        char c = s[i];
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (i > 0 && ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'));
        if (!ok) return false;
    }
    return true;
}

bool isDirectory(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> splitBlanks(const std::string& s) {
    std::vector<std::string> out;
    std::string cur;
    for (char c : s) {
        if (c == ' ' || c == '\t') {
            if (!cur.empty()) out.push_back(cur), cur.clear();
        } else {
            cur.push_back(c);
        }
    }
    if (!cur.empty()) out.push_back(cur);
    return out;
}

// Starts argv detached (double fork) in `dir`; reports whether exec succeeded
// through a close-on-exec pipe, so a missing program is an error, not a hang.
int spawnDetached(const std::vector<std::string>& argv, const std::string& dir) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return kOutOfMemory;
    pid_t child = fork();
    if (child < 0) {
        close(fds[0]);
        close(fds[1]);
        return kOutOfMemory;
    }
    if (child == 0) {
        close(fds[0]);
        setsid();
        if (fork() != 0) _exit(0);
        if (!dir.empty() && chdir(dir.c_str()) != 0) {
            int e = errno;
            (void)!write(fds[1], &e, sizeof e);
            _exit(127);
        }
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        int e = errno;
        (void)!write(fds[1], &e, sizeof e);
        _exit(127);
    }
    close(fds[1]);
    int err = 0;
    ssize_t got;
    do got = read(fds[0], &err, sizeof err);
    while (got < 0 && errno == EINTR);
    close(fds[0]);
    int status;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {}
    if (got <= 0) return kShellOk;
    return err == ENOENT ? kNoAssociation : err == ENOMEM ? kOutOfMemory : kFileNotFound;
}

}  // namespace

void setMessageBoxHandler(MessageBoxFn handler) { g_handler.store(handler); }

void messageBox(const std::string& text, const std::string& caption, int icon) {
    if (MessageBoxFn h = g_handler.load()) return h(text.c_str(), caption.c_str(), icon);
    if (MessageBoxFn h = exportedHandler()) return h(text.c_str(), caption.c_str(), icon);
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
}

int shellExecute(const std::string& operation, const std::string& file, const std::string& parameters,
                 const std::string& directory, int show) {
    (void)show;
    if (!operation.empty() && operation != "open") return kNoAssociation;
    if (!directory.empty() && !isDirectory(directory)) return kPathNotFound;
    if (file.empty()) return kFileNotFound;
    const char* opener = std::getenv("QO_OPENER");
    std::string openerProgram = opener && *opener ? opener : "xdg-open";
    if (hasScheme(file)) return spawnDetached({openerProgram, file}, directory);
    std::string path = file[0] == '/' || directory.empty() ? file : directory + "/" + file;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return kFileNotFound;
    if (S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0) {
        std::vector<std::string> argv{path};
        for (std::string& p : splitBlanks(parameters)) argv.push_back(p);
        return spawnDetached(argv, directory);
    }
    return spawnDetached({openerProgram, path}, directory);
}

bool setCurrentDirectory(const std::string& path) { return !path.empty() && chdir(path.c_str()) == 0; }

std::string currentDirectory() {
    std::vector<char> buf(PATH_MAX + 1);
    return getcwd(buf.data(), buf.size()) ? std::string(buf.data()) : std::string();
}

}  // namespace qo::os
