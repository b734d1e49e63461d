#include "HostId.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/route.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

namespace {

constexpr size_t BufferSize = 256;

// The interface of the default route with the lowest metric, or empty.
std::string DefaultRouteInterface() {
    std::ifstream routes("/proc/net/route");
    std::string line;
    std::getline(routes, line); // the column titles
    std::string best;
    unsigned long bestMetric = std::numeric_limits<unsigned long>::max();
    while (std::getline(routes, line)) {
        std::istringstream fields(line);
        std::string name;
        unsigned long destination = 0, gateway = 0, flags = 0, refCount = 0, use = 0, metric = 0,
                      mask = 0;
        fields >> name >> std::hex >> destination >> gateway >> flags >> std::dec >> refCount >>
            use >> metric >> std::hex >> mask;
        if (!fields || destination != 0 || mask != 0 || (flags & RTF_UP) == 0)
            continue;
        if (best.empty() || metric < bestMetric) {
            best = name;
            bestMetric = metric;
        }
    }
    return best;
}

bool IsPrivate(in_addr_t networkOrder) {
    const uint32_t address = ntohl(networkOrder);
    return (address >> 24) == 10 || (address >> 20) == ((172u << 4) | 1u) ||
           (address >> 16) == ((192u << 8) | 168u);
}

// The interface's first private IPv4 address in dotted form, or empty.
std::string PrivateAddress(const std::string& interfaceName) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return {};
    std::string result;
    for (const ifaddrs* entry = list; entry != nullptr && result.empty(); entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET ||
            interfaceName != entry->ifa_name)
            continue;
        in_addr address;
        std::memcpy(&address, &reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr,
                    sizeof address);
        char text[INET_ADDRSTRLEN] = {};
        if (IsPrivate(address.s_addr) && inet_ntop(AF_INET, &address, text, sizeof text))
            result = text;
    }
    freeifaddrs(list);
    return result;
}

// The interface's hardware address as the kernel writes it ("aa:bb:cc:dd:ee:ff"),
// or empty when it has none (a tunnel, or all zeros).
std::string MacAddress(const std::string& interfaceName) {
    std::ifstream file("/sys/class/net/" + interfaceName + "/address");
    std::string text;
    std::getline(file, text);
    if (text.size() != 17)
        return {};
    bool nonZero = false;
    for (size_t at = 0; at < text.size(); ++at) {
        const auto c = static_cast<unsigned char>(text[at]);
        if (at % 3 == 2 ? c != ':' : !std::isxdigit(c))
            return {};
        nonZero = nonZero || (at % 3 != 2 && c != '0');
    }
    return nonZero ? text : std::string();
}

void CopyText(char* buffer, const std::string& text) {
    const size_t length = std::min(text.size(), BufferSize - 1);
    std::memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
}

} // namespace

uint8_t GetActivePrivateIPAddress(char* first, char* second) {
    const std::string interfaceName = DefaultRouteInterface();
    // A name from the routing table never holds "/", but the path below must
    // not leave /sys/class/net whatever it holds.
    if (interfaceName.empty() || interfaceName.find('/') != std::string::npos ||
        interfaceName == "." || interfaceName == "..")
        return 0;
    const std::string address = PrivateAddress(interfaceName);
    const std::string mac = MacAddress(interfaceName);
    if (address.empty() || mac.empty())
        return 0;
    CopyText(first, address);
    CopyText(second, mac);
    return 1;
}
