#include "allow_list.h"

#include <arpa/inet.h>

#include <charconv>

namespace sonarello::osc
{

namespace
{

constexpr int kAddressBits = 32;
constexpr int kMaxPort = 65535;

bool readWhole(std::string_view text, int low, int high, int& value)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && value >= low &&
           value <= high;
}

} // namespace

bool parseIPv4(std::string_view text, std::uint32_t& address)
{
    const std::string copy(text);
    in_addr parsed{};
    if (copy.empty() || inet_pton(AF_INET, copy.c_str(), &parsed) != 1)
        return false;
    address = ntohl(parsed.s_addr);
    return true;
}

bool AllowList::allows(std::uint32_t address) const
{
    if (networks.empty())
        return true;
    for (const Network& n : networks)
        if ((address & n.mask) == n.address)
            return true;
    return false;
}

bool parseAllowList(std::string_view text, AllowList& list, std::string& error)
{
    list.networks.clear();
    while (true)
    {
        const std::size_t comma = text.find(',');
        const std::string_view net = text.substr(0, comma);
        const std::size_t slash = net.find('/');
        int bits = kAddressBits;
        std::uint32_t address = 0;
        if (!parseIPv4(net.substr(0, slash), address) ||
            (slash != std::string_view::npos &&
             !readWhole(net.substr(slash + 1), 0, kAddressBits, bits)))
        {
            error = "--osc-allow takes IPv4 addresses or address/bits, separated by commas: " +
                    std::string(net);
            return false;
        }
        const std::uint32_t mask = bits == 0 ? 0 : ~std::uint32_t{0} << (kAddressBits - bits);
        list.networks.push_back({address & mask, mask});
        if (comma == std::string_view::npos)
            return true;
        text.remove_prefix(comma + 1);
    }
}

bool parseListenAddress(std::string_view text, std::string& address, int& port, std::string& error)
{
    address = kDefaultAddress;
    port = kDefaultPort;
    if (text.empty())
        return true;
    const std::size_t colon = text.rfind(':');
    std::uint32_t ignored = 0;
    if (colon != std::string_view::npos)
    {
        address = text.substr(0, colon);
        text.remove_prefix(colon + 1);
    }
    if (!parseIPv4(address, ignored) || !readWhole(text, 0, kMaxPort, port))
    {
        error = "--osc takes [ADDRESS:]PORT, an IPv4 address and a port up to 65535";
        return false;
    }
    return true;
}

} // namespace sonarello::osc
