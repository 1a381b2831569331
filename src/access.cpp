// The access settings: parsing, matching, and the loop's bookkeeping.
#include "access.h"

#include <arpa/inet.h>
#include <fstream>
#include <regex>
#include <sstream>

namespace {

constexpr const char* kAllowed = "AllowedClients";
constexpr const char* kReadOnly = "ReadOnlyClients";
constexpr const char* kLimit = "ConnectionLimit";
constexpr const char* kIdle = "IdleTimeout";

std::string Bad(const char* setting) {
    return std::string("Bad '") + setting + "' setting: ";
}

bool Digits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

bool ClientAccess::Matches(const std::vector<Network>& list, in_addr address) {
    const uint32_t host = ntohl(address.s_addr);
    for (const Network& n : list) {
        if ((host & n.mask) == n.address) return true;
    }
    return false;
}

bool ClientAccess::Allowed(in_addr address) const {
    return !restricted_ || Matches(allowed_, address);
}

bool ClientAccess::ReadOnly(in_addr address) const {
    return !readOnly_.empty() && Matches(readOnly_, address);
}

namespace {

// "a.b.c.d" or "a.b.c.d/n" with n from 0 to 32, as inet_pton reads the
// address (four decimal parts, no leading zeros). Host bits of a network
// are ignored, as routers do.
template <typename Network>
bool ParseNetwork(const std::string& text, Network* network) {
    const size_t slash = text.find('/');
    in_addr address;
    if (inet_pton(AF_INET, text.substr(0, slash).c_str(), &address) != 1) return false;
    int prefix = 32;
    if (slash != std::string::npos) {
        const std::string bits = text.substr(slash + 1);
        if (!Digits(bits) || bits.size() > 2) return false;
        prefix = std::stoi(bits);
        if (prefix > 32) return false;
    }
    network->mask = prefix == 0 ? 0 : ~uint32_t{0} << (32 - prefix);
    network->address = ntohl(address.s_addr) & network->mask;
    return true;
}

// A list of addresses and networks; absent: 0 and *present false.
template <typename Network>
int ReadList(const libconfig::Config& config, const char* setting, std::vector<Network>* list,
             bool* present, std::string* error) {
    *present = config.exists(setting);
    if (!*present) return 0;
    const libconfig::Setting& entries = config.lookup(setting);
    if (!entries.isArray() && !entries.isList()) {
        *error = Bad(setting) + "not a list of strings such as [\"10.20.0.0/16\", \"192.168.5.7\"]";
        return -1;
    }
    for (int i = 0; i < entries.getLength(); ++i) {
        if (entries[i].getType() != libconfig::Setting::TypeString) {
            *error = Bad(setting) + "entry " + std::to_string(i + 1) + " is not a string";
            return -1;
        }
        const std::string text = static_cast<const char*>(entries[i]);
        Network network;
        if (!ParseNetwork(text, &network)) {
            *error = Bad(setting) + "\"" + text +
                     "\" is not an IPv4 address or network (a.b.c.d or a.b.c.d/0-32)";
            return -1;
        }
        list->push_back(network);
    }
    return 0;
}

// A whole number written as a string, as the server's own numbers are.
int ReadNumber(const libconfig::Config& config, const char* setting, uint32_t* value,
               std::string* error) {
    if (!config.exists(setting)) return 0;
    const libconfig::Setting& number = config.lookup(setting);
    if (number.getType() != libconfig::Setting::TypeString) {
        *error = Bad(setting) + "not a number written as a string, such as \"32\"";
        return -1;
    }
    const std::string text = static_cast<const char*>(number);
    // Nine digits at most: far beyond any use, and no overflow anywhere.
    if (!Digits(text) || text.size() > 9) {
        *error = Bad(setting) + "\"" + text + "\" is not a number from 0 to 999999999";
        return -1;
    }
    *value = static_cast<uint32_t>(std::stoul(text));
    return 0;
}

// The text of a configuration file without its comments and strings.
std::string CodeOf(const std::string& text) {
    std::string code;
    enum { kCode, kString, kLine, kBlock } state = kCode;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i], next = i + 1 < text.size() ? text[i + 1] : '\0';
        switch (state) {
            case kString:
                if (c == '\\') ++i;
                if (c == '"') state = kCode;
                break;
            case kLine:
                if (c == '\n') state = kCode, code += c;
                break;
            case kBlock:
                if (c == '*' && next == '/') state = kCode, ++i;
                break;
            case kCode:
                if (c == '"') {
                    state = kString, code += ' ';
                } else if (c == '#' || (c == '/' && next == '/')) {
                    state = kLine;
                } else if (c == '/' && next == '*') {
                    state = kBlock, ++i;
                } else {
                    code += c;
                }
                break;
        }
    }
    return code;
}

}  // namespace

int ClientAccess::Read(const libconfig::Config& config, std::string* error) {
    *this = ClientAccess();
    bool readOnlyPresent = false;
    uint32_t idle = 0;
    if (ReadList(config, kAllowed, &allowed_, &restricted_, error) != 0 ||
        ReadList(config, kReadOnly, &readOnly_, &readOnlyPresent, error) != 0 ||
        ReadNumber(config, kLimit, &limit_, error) != 0 ||
        ReadNumber(config, kIdle, &idle, error) != 0) {
        *this = ClientAccess();
        valid_ = false;
        restricted_ = true;
        return -1;
    }
    idle_ = std::chrono::seconds(idle);
    return 0;
}

int ClientAccess::ReadUnparsed(const std::string& path, std::string* error) {
    *this = ClientAccess();
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    const std::regex setting(
        "\\b(AllowedClients|ReadOnlyClients|ConnectionLimit|IdleTimeout)\\s*[=:]");
    std::smatch found;
    const std::string code = CodeOf(text.str());
    if (!std::regex_search(code, found, setting)) return 0;
    *error = Bad(found[1].str().c_str()) +
             "the configuration file cannot be parsed, so it cannot be applied";
    valid_ = false;
    restricted_ = true;
    return -1;
}

bool RefusalReports::Due(in_addr address, AccessClock::time_point now) {
    Slot* vacant = nullptr;
    for (Slot& slot : slots_) {
        if (slot.used && slot.address == address.s_addr) {
            if (now - slot.last < kEvery) return false;
            slot.last = now;
            return true;
        }
        if (vacant == nullptr && (!slot.used || now - slot.last >= kEvery)) vacant = &slot;
    }
    if (vacant != nullptr) {
        *vacant = Slot{address.s_addr, true, now};
        return true;
    }
    if (overflowUsed_ && now - overflowLast_ < kEvery) return false;
    overflowUsed_ = true;
    overflowLast_ = now;
    return true;
}

void ActivityOrder::Touch(int fd, AccessClock::time_point now) {
    if (fd < 0) return;
    if (links_.size() <= static_cast<size_t>(fd)) links_.resize(fd + 1);
    Remove(fd);
    Link& link = links_[fd];
    link.listed = true;
    link.last = now;
    link.older = newest_;
    if (newest_ != -1) {
        links_[newest_].newer = fd;
    } else {
        oldest_ = fd;
    }
    newest_ = fd;
}

void ActivityOrder::Remove(int fd) {
    if (fd < 0 || static_cast<size_t>(fd) >= links_.size() || !links_[fd].listed) return;
    Link& link = links_[fd];
    if (link.older != -1) {
        links_[link.older].newer = link.newer;
    } else {
        oldest_ = link.newer;
    }
    if (link.newer != -1) {
        links_[link.newer].older = link.older;
    } else {
        newest_ = link.older;
    }
    link = Link{};
}
