// Byte strings for the simulator's tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "profile.h"

using Bytes = std::vector<std::uint8_t>;

inline Bytes Text(const char* text)
{
    return Bytes(text, text + std::strlen(text));
}

inline Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline Bytes ConnectCommand(const char (&password)[5])
{
    return Text("AT+PROG=?") + Bytes(password, password + 4) + Bytes{0x01, '\n', '\r'};
}

inline Bytes WriteCommand(const ProfileBytes& profile)
{
    return Text("AT+PROG=W") + Bytes(profile.begin(), profile.end()) + Text("\n\r");
}

inline Bytes ProfileAnswer(const ProfileBytes& profile)
{
    return Text("+PROG=R") + Bytes(profile.begin(), profile.end()) + Text("\n\r");
}

// A record full of the bytes that upset line-based parsing.
inline ProfileBytes AwkwardProfile()
{
    ProfileBytes profile = DefaultProfile;
    const Bytes inside = Text("AT+REBOOT\n\rAT+PROG=R\n\r+PWD\n");
    std::memcpy(profile.data(), inside.data(), inside.size());
    profile[36] = 0x0A;  // option flags: peer address and bonding
    profile[37] = 10;    // baud index of the single-blank item
    return profile;
}
