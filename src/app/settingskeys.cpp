// The comparisons of stored settings, key by key of the table, so a new key
// is compared and merged too.
#include "settingskeys.h"

#include <algorithm>
#include <iterator>

using SettingsKeys::Key;
using SettingsKeys::kKeys;

bool operator==(const StoredSettings &a, const StoredSettings &b)
{
    return std::all_of(std::begin(kKeys), std::end(kKeys), [&](const Key &key) {
        return std::visit([&](const auto &member) { return member.get(a) == member.get(b); }, key.member);
    });
}

StoredSettings keepChangesOnDisk(const StoredSettings &ours, const StoredSettings &known,
                                 const StoredSettings &disk)
{
    StoredSettings v = ours;
    for (const Key &key : kKeys) {
        std::visit(
            [&](const auto &member) {
                if (member.get(disk) != member.get(known))
                    member.ref(v) = member.get(disk);
            },
            key.member);
    }
    return v;
}
