#pragma once

// The keys of the settings store, one row each: its name in the file, the
// member of StoredSettings it holds, its type and when it is written. The
// reader, the writer, the list of our keys, the merge of an edit on disk and
// the comparison all loop over this table, so a new key is one row here.

#include "settingsstore.h"

#include <QByteArray>
#include <QLatin1String>
#include <QString>

#include <array>
#include <cstddef>
#include <type_traits>
#include <variant>

namespace SettingsKeys {

// How a key's value reads from the file and shows in a warning.
enum class Type {
    Flag,     // true/false, yes/no, on/off or 1/0 in any case
    Text,     // a line with commas, which the toolkit reads as a list, reads as
              // its items joined by ", "; ports are texts, kept as typed
    Secret,   // a text that never goes to the log; commas in it are told of
    Int,      // a whole number
    Bytes,    // a byte array
};

// When the writer puts a key in the file (a value the display did not
// change is written back as it was read, whatever the rule).
enum class Rule {
    Always,
    WhenSet,       // only when it is not empty, so a plain display's file stays as it was
    WhenChanged,   // only when it differs from its first-run value, so a file
                   // without it keeps the defaults of the build that reads it
};

// The member of StoredSettings that a key holds.
template<typename T>
struct Access
{
    using Value = T;
    T &(*ref)(StoredSettings &);
    const T &(*get)(const StoredSettings &);
};
using Member = std::variant<Access<bool>, Access<QString>, Access<int>, Access<QByteArray>>;

struct Key
{
    QLatin1String name;
    Type type;
    Rule rule;
    Member member;
};

namespace Detail {
template<std::size_t N>
constexpr QLatin1String name(const char (&text)[N])
{
    return QLatin1String(text, int(N - 1));
}

template<auto Part, auto Field>
constexpr Member in()
{
    using T = std::remove_reference_t<decltype((std::declval<StoredSettings &>().*Part).*Field)>;
    return Access<T> { [](StoredSettings &v) -> T & { return (v.*Part).*Field; },
                       [](const StoredSettings &v) -> const T & { return (v.*Part).*Field; } };
}

template<auto Field>
constexpr Member top()
{
    using T = std::remove_reference_t<decltype(std::declval<StoredSettings &>().*Field)>;
    return Access<T> { [](StoredSettings &v) -> T & { return v.*Field; },
                       [](const StoredSettings &v) -> const T & { return v.*Field; } };
}

template<std::size_t Pair>
constexpr Member label()
{
    return Access<QString> { [](StoredSettings &v) -> QString & { return v.labels[Pair]; },
                             [](const StoredSettings &v) -> const QString & { return v.labels[Pair]; } };
}

template<auto Field>
constexpr Member comm() { return in<&StoredSettings::comm, Field>(); }
template<auto Field>
constexpr Member control() { return in<&StoredSettings::control, Field>(); }
} // namespace Detail

// The meter names' keys, first pair to third; the name labels are called so too.
inline constexpr std::array<QLatin1String, 3> kLabelKeys { Detail::name("labelMeter1"),
                                                           Detail::name("labelMeter2"),
                                                           Detail::name("labelMeter3") };

inline constexpr Key kKeys[] {
    { Detail::name(LUMORA_KEY_IS_SERVER), Type::Flag, Rule::Always, Detail::comm<&CommSettings::is_server>() },
    { Detail::name(LUMORA_KEY_USE_UDP), Type::Flag, Rule::Always, Detail::comm<&CommSettings::use_udp>() },
    { Detail::name(LUMORA_KEY_SERIALPORT), Type::Text, Rule::Always, Detail::comm<&CommSettings::serialport>() },
    { Detail::name(LUMORA_KEY_SERVER_HOST), Type::Text, Rule::Always, Detail::comm<&CommSettings::server_host>() },
    { Detail::name(LUMORA_KEY_SERVER_PORT), Type::Text, Rule::Always, Detail::comm<&CommSettings::server_port>() },
    { Detail::name(LUMORA_KEY_CLIENT_HOST), Type::Text, Rule::Always, Detail::comm<&CommSettings::client_host>() },
    { Detail::name(LUMORA_KEY_CLIENT_PORT), Type::Text, Rule::Always, Detail::comm<&CommSettings::client_port>() },
    // Set by the installer in the file.
    { Detail::name(LUMORA_KEY_SERVER_DESTINATION), Type::Text, Rule::WhenSet,
      Detail::comm<&CommSettings::server_destination>() },
    { Detail::name(LUMORA_KEY_SERVER_TTL), Type::Text, Rule::WhenSet, Detail::comm<&CommSettings::server_ttl>() },
    { Detail::name(LUMORA_KEY_CLIENT_GROUP), Type::Text, Rule::WhenSet, Detail::comm<&CommSettings::client_group>() },
    { Detail::name(LUMORA_KEY_TALLY_SOURCE), Type::Text, Rule::WhenSet, Detail::comm<&CommSettings::tally_source>() },
    { Detail::name(LUMORA_KEY_CONTROL_PORT), Type::Int, Rule::WhenChanged, Detail::control<&ControlSettings::port>() },
    { Detail::name(LUMORA_KEY_CONTROL_BIND), Type::Text, Rule::WhenChanged, Detail::control<&ControlSettings::bind>() },
    { Detail::name(LUMORA_KEY_CONTROL_ALLOW), Type::Text, Rule::WhenChanged, Detail::control<&ControlSettings::allow>() },
    { Detail::name(LUMORA_KEY_CONTROL_TOKEN), Type::Secret, Rule::WhenSet, Detail::control<&ControlSettings::token>() },
    { Detail::name(LUMORA_KEY_MQTT_BROKER), Type::Text, Rule::WhenSet, Detail::control<&ControlSettings::mqttBroker>() },
    { Detail::name(LUMORA_KEY_MQTT_USER), Type::Text, Rule::WhenSet, Detail::control<&ControlSettings::mqttUser>() },
    { Detail::name(LUMORA_KEY_MQTT_PASSWORD), Type::Secret, Rule::WhenSet,
      Detail::control<&ControlSettings::mqttPassword>() },
    { Detail::name(LUMORA_KEY_MQTT_CA), Type::Text, Rule::WhenSet, Detail::control<&ControlSettings::mqttCa>() },
    { Detail::name(LUMORA_KEY_MQTT_TOPIC), Type::Text, Rule::WhenChanged, Detail::control<&ControlSettings::mqttTopic>() },
    { Detail::name(LUMORA_KEY_MQTT_ID), Type::Text, Rule::WhenSet, Detail::control<&ControlSettings::mqttId>() },
    { Detail::name(LUMORA_KEY_MQTT_GROUPS), Type::Text, Rule::WhenSet, Detail::control<&ControlSettings::mqttGroups>() },
    // A label that is present keeps its text even when empty.
    { kLabelKeys[0], Type::Text, Rule::Always, Detail::label<0>() },
    { kLabelKeys[1], Type::Text, Rule::Always, Detail::label<1>() },
    { kLabelKeys[2], Type::Text, Rule::Always, Detail::label<2>() },
    { Detail::name("current_screen"), Type::Int, Rule::Always, Detail::top<&StoredSettings::currentScreen>() },
    { Detail::name("geometry"), Type::Bytes, Rule::Always, Detail::top<&StoredSettings::geometry>() },
};

namespace Detail {
// The member's type must be the one a key of its type is read into.
constexpr std::size_t memberIndex(Type type)
{
    switch (type) {
    case Type::Flag:
        return 0;
    case Type::Text:
    case Type::Secret:
        return 1;
    case Type::Int:
        return 2;
    case Type::Bytes:
        return 3;
    }
    return std::variant_npos;
}

constexpr bool sameName(QLatin1String a, QLatin1String b)
{
    if (a.size() != b.size())
        return false;
    for (int i = 0; i < a.size(); ++i) {
        if (a.data()[i] != b.data()[i])
            return false;
    }
    return true;
}

constexpr bool tableIsSound()
{
    for (std::size_t i = 0; i < std::size(kKeys); ++i) {
        if (kKeys[i].member.index() != memberIndex(kKeys[i].type))
            return false;
        for (std::size_t j = 0; j < i; ++j) {
            if (sameName(kKeys[i].name, kKeys[j].name))
                return false;
        }
    }
    return true;
}
static_assert(tableIsSound(), "each key once, held in a member of its type");
} // namespace Detail

} // namespace SettingsKeys
