// The regular-file check of libconfig files and of what they include.
#include "config_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform.h"

namespace {

// libconfig stops following includes at this depth and reports an error.
constexpr int kMaxIncludeDepth = 10;

const char* KindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    return "a special file";
}

// The targets of the @include directives in `text`, as libconfig's scanner
// takes them: only at the start of a line (blanks before it allowed), never
// inside a comment or a string.
std::vector<std::string> Includes(const std::string& text) {
    static const std::string kDirective = "@include";
    std::vector<std::string> found;
    bool lineStart = true;
    for (size_t i = 0; i < text.size();) {
        const char c = text[i];
        if (lineStart && (c == ' ' || c == '\t')) {
            ++i;
            continue;
        }
        if (lineStart && text.compare(i, kDirective.size(), kDirective) == 0) {
            size_t at = i + kDirective.size();
            const size_t blanks = text.find_first_not_of(" \t", at);
            if (blanks != std::string::npos && blanks > at && text[blanks] == '"') {
                std::string target;
                for (at = blanks + 1; at < text.size() && text[at] != '"'; ++at) {
                    if (text[at] == '\\' && at + 1 < text.size() &&
                        (text[at + 1] == '\\' || text[at + 1] == '"'))
                        ++at;
                    target += text[at];
                }
                found.push_back(target);
                i = at + 1;
                lineStart = false;
                continue;
            }
        }
        lineStart = false;
        if (c == '\n') {
            lineStart = true;
            ++i;
        } else if (c == '#' || text.compare(i, 2, "//") == 0) {
            i = text.find('\n', i);
        } else if (text.compare(i, 2, "/*") == 0) {
            const size_t end = text.find("*/", i + 2);
            i = end == std::string::npos ? end : end + 2;
        } else if (c == '"') {
            for (++i; i < text.size() && text[i] != '"'; ++i)
                if (text[i] == '\\') ++i;
            ++i;
        } else {
            ++i;
        }
    }
    return found;
}

int Check(const std::string& path, const std::string& includedBy, int depth, std::string* why) {
    // Non-blocking: opening a FIFO must not wait for a writer.
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (fd.get() < 0 || fstat(fd.get(), &info) != 0) return 0;
    if (!S_ISREG(info.st_mode)) {
        *why = path + (includedBy.empty() ? "" : " (included by " + includedBy + ")") + " is " +
               KindOf(info.st_mode) + ", not a regular file";
        return -1;
    }
    if (depth >= kMaxIncludeDepth) return 0;
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(fd.get(), buffer, sizeof buffer)) != 0;) {
        if (n < 0) {
            if (errno == EINTR) continue;
            return 0;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
    for (const std::string& target : Includes(text)) {
        if (Check(target, path, depth + 1, why) != 0) return -1;
    }
    return 0;
}

}  // namespace

int CheckConfigFiles(const std::string& path, std::string* why) {
    return Check(path, "", 0, why);
}
