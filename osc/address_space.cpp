#include "address_space.h"

#include "base/raii.h"

#include <lo/lo_lowlevel.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>

namespace sonarello::osc
{

namespace
{

using Message = std::unique_ptr<void, Deleter<lo_message_free>>;

constexpr std::string_view kBundleHeader{"#bundle\0", 8};
constexpr std::size_t kBundleFrame = 16; // the header and the time tag
constexpr int kMaxPort = 65535;

struct Named
{
    std::string_view name;
    Verb verb;
};

constexpr std::array kRowVerbs{
    Named{"start", Verb::Start},       Named{"stop", Verb::Stop},     Named{"toggle", Verb::Toggle},
    Named{"loop", Verb::Loop},         Named{"volume", Verb::Volume}, Named{"speed", Verb::Speed},
    Named{"position", Verb::Position}, Named{"file", Verb::File},     Named{"next", Verb::Next},
    Named{"previous", Verb::Previous}, Named{"state", Verb::State},
};

constexpr std::array kPlayerVerbs{
    Named{"stop", Verb::StopAll},        Named{"panic", Verb::Panic},
    Named{"subscribe", Verb::Subscribe}, Named{"unsubscribe", Verb::Unsubscribe},
    Named{"counters", Verb::Counters},
};

std::uint64_t bigEndian(const std::uint8_t* p, int bytes)
{
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i)
        value = value << 8 | p[i];
    return value;
}

template <std::size_t N>
bool lookUp(const std::array<Named, N>& names, std::string_view word, Verb& verb)
{
    for (const Named& n : names)
        if (n.name == word)
        {
            verb = n.verb;
            return true;
        }
    return false;
}

// The verb and row of an address (a row of 0 for the player's own verbs); false, with the
// fault, for an address that names nothing of ours.
bool readAddress(std::string_view address, const Limits& limits, Verb& verb, int& row, Fault& fault)
{
    fault = Fault::UnknownAddress;
    row = 0;
    if (!address.starts_with(kPrefix))
        return false;
    address.remove_prefix(kPrefix.size());
    if (lookUp(kPlayerVerbs, address, verb))
        return true;
    constexpr std::string_view kRow = "row/";
    if (!address.starts_with(kRow))
        return false;
    address.remove_prefix(kRow.size());
    const std::size_t slash = address.find('/');
    if (slash == std::string_view::npos || slash == 0 || slash > 9 ||
        !lookUp(kRowVerbs, address.substr(slash + 1), verb))
        return false;
    const auto [end, error] = std::from_chars(address.data(), address.data() + slash, row);
    if (error != std::errc() || end != address.data() + slash)
        return false;
    fault = Fault::NoSuchRow;
    return row >= 1 && row <= limits.rows;
}

// A number of any of OSC's numeric types (or true and false); false for anything else.
bool readNumber(char type, lo_arg* arg, double& value)
{
    switch (type)
    {
    case LO_INT32:
    case LO_INT64:
    case LO_FLOAT:
    case LO_DOUBLE:
        value = static_cast<double>(lo_hires_val(static_cast<lo_type>(type), arg));
        return std::isfinite(value);
    case LO_TRUE:
        value = 1;
        return true;
    case LO_FALSE:
        value = 0;
        return true;
    default:
        return false;
    }
}

enum class Taken
{
    Act,
    Ignore, // a button's release
    Refuse,
};

bool whole(double v, double low, double high)
{
    return v == std::floor(v) && v >= low && v <= high;
}

// The argument rules of each verb; `value` becomes the action's value.
Taken readArguments(Verb verb, const char* types, lo_arg** argv, int argc, const Limits& limits,
                    double& value)
{
    value = 0;
    if (argc > 1)
        return Taken::Refuse;
    const bool has = argc == 1;
    if (has && !readNumber(types[0], argv[0], value))
        return Taken::Refuse;
    switch (verb)
    {
    case Verb::Loop:
        return has && (value == 0 || value == 1) ? Taken::Act : Taken::Refuse;
    case Verb::Volume:
    case Verb::Speed:
        value = std::clamp(value, 0.0, 100.0);
        return has ? Taken::Act : Taken::Refuse;
    case Verb::Position:
        value = std::max(value, 0.0);
        return has ? Taken::Act : Taken::Refuse;
    case Verb::File:
        return has && whole(value, 1, limits.files) ? Taken::Act : Taken::Refuse;
    case Verb::State:
    case Verb::Subscribe:
    case Verb::Unsubscribe:
    case Verb::Counters:
        return !has || whole(value, 1, kMaxPort) ? Taken::Act : Taken::Refuse;
    default: // triggers: nothing, or a button's press (non-zero) and release (0)
        return !has || value != 0 ? Taken::Act : Taken::Ignore;
    }
}

class Walker
{
  public:
    Walker(const Limits& l, Packet& p) : limits(l), out(p) {}

    void element(const std::uint8_t* data, std::size_t size, std::uint64_t tag, int depth)
    {
        if (full)
            return;
        if (size >= kBundleHeader.size() &&
            std::memcmp(data, kBundleHeader.data(), kBundleHeader.size()) == 0)
            bundle(data, size, depth);
        else
            message(data, size, tag);
    }

  private:
    // False, with one last refusal, once the datagram asked for kMaxMessagesPerPacket things.
    bool room()
    {
        if (!full && out.actions.size() + out.refusals.size() >= kMaxMessagesPerPacket)
        {
            full = true;
            out.refusals.push_back({Fault::TooMany, {}});
        }
        return !full;
    }

    void refuse(Fault fault, std::string_view address = {})
    {
        if (room())
            out.refusals.push_back({fault, std::string(address.substr(0, kMaxReportedAddress))});
    }

    void bundle(const std::uint8_t* data, std::size_t size, int depth)
    {
        out.bundle = true;
        if (depth >= kMaxBundleDepth)
            return refuse(Fault::TooDeep);
        if (size < kBundleFrame)
            return refuse(Fault::Malformed);
        const std::uint64_t tag = bigEndian(data + kBundleHeader.size(), 8);
        std::size_t at = kBundleFrame;
        while (at < size && !full)
        {
            if (size - at < 4)
                return refuse(Fault::Malformed);
            const auto length = static_cast<std::size_t>(bigEndian(data + at, 4));
            at += 4;
            if (length == 0 || length % 4 != 0 || length > size - at)
                return refuse(Fault::Malformed);
            element(data + at, length, tag, depth + 1);
            at += length;
        }
    }

    void message(const std::uint8_t* data, std::size_t size, std::uint64_t tag)
    {
        if (!room())
            return;
        // liblo reads the bytes only (it decodes a copy), whatever its signature says.
        void* bytes = const_cast<std::uint8_t*>(data);
        const char* path = lo_get_path(bytes, static_cast<ssize_t>(size));
        int result = 0;
        const Message m{path ? lo_message_deserialise(bytes, size, &result) : nullptr};
        if (!m)
            return refuse(Fault::Malformed, path ? std::string_view(path) : std::string_view{});
        const std::string_view address(path);
        Action action;
        action.timeTag = tag;
        if (Fault fault{}; !readAddress(address, limits, action.verb, action.row, fault))
            return refuse(fault, address);
        const int argc = lo_message_get_argc(m.get());
        const char* types = lo_message_get_types(m.get());
        lo_arg** argv = lo_message_get_argv(m.get());
        switch (readArguments(action.verb, types, argv, argc, limits, action.value))
        {
        case Taken::Act:
            out.actions.push_back(action);
            break;
        case Taken::Refuse:
            refuse(Fault::WrongArguments, address);
            break;
        case Taken::Ignore:
            break;
        }
    }

    const Limits& limits;
    Packet& out;
    bool full = false;
};

} // namespace

void readPacket(const std::uint8_t* data, std::size_t size, const Limits& limits, Packet& out)
{
    out.clear();
    if (data == nullptr || size == 0 || size % 4 != 0)
    {
        out.refusals.push_back({Fault::Malformed, {}});
        return;
    }
    Walker(limits, out).element(data, size, kImmediately, 0);
}

std::string_view faultText(Fault fault)
{
    switch (fault)
    {
    case Fault::Malformed:
        return "malformed packet";
    case Fault::UnknownAddress:
        return "unknown address";
    case Fault::WrongArguments:
        return "wrong arguments";
    case Fault::NoSuchRow:
        return "no such row";
    case Fault::TooDeep:
        return "bundles nested too deep";
    case Fault::TooMany:
        return "too many messages in one packet";
    }
    return "refused";
}

} // namespace sonarello::osc
