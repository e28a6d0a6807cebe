// DecodeProfileReply on arbitrary lines, then EncodeProfile of what it decoded.
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "profile.h"

namespace {

bool HasProfilePrefix(const std::uint8_t* data, std::size_t size)
{
    return size >= kProfileReplyPrefixSize &&
           std::memcmp(data, kProfileReplyPrefix, kProfileReplyPrefixSize) == 0;
}

// The view is what the window's controls can hold.
void CheckViewFitsControls(const ProfileView& view)
{
    for (const std::string* pair : {&view.LocalAddr0, &view.LocalAddr1, &view.LocalAddr2,
                                    &view.LocalAddr3, &view.LocalAddr4, &view.LocalAddr5,
                                    &view.PeerAddr0, &view.PeerAddr1, &view.PeerAddr2,
                                    &view.PeerAddr3, &view.PeerAddr4, &view.PeerAddr5}) {
        FUZZ_CHECK(pair->size() <= 2);
        for (char c : *pair)
            FUZZ_CHECK(c != 0 && !(c >= 'a' && c <= 'z'));
    }
    FUZZ_CHECK(view.CfgPwd.size() <= 4);
    FUZZ_CHECK(view.PinCode.size() <= 6);
    FUZZ_CHECK(view.LocalName.size() <= 18);
    FUZZ_CHECK(view.ModeAt != view.ModeTr);
    FUZZ_CHECK(view.BtRoleM != view.BtRoleS);
    FUZZ_CHECK(!(view.ParityN && view.ParityE));
    FUZZ_CHECK(!(view.RtsEnable && view.RtsDisable));
    FUZZ_CHECK(view.UartBaud >= -1 && view.UartBaud < kBaudItemCount);
}

std::vector<std::uint8_t> ReplyOf(const ProfileBytes& record)
{
    std::vector<std::uint8_t> line(kProfileReplyPrefix, kProfileReplyPrefix + kProfileReplyPrefixSize);
    line.insert(line.end(), record.begin(), record.end());
    line.push_back('\n');
    return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    ModuleProfile = DefaultProfile;
    ProfileView view;
    const std::vector<std::uint8_t> defaultReply = ReplyOf(DefaultProfile);
    DecodeProfileReply(defaultReply.data(), defaultReply.size(), view);
    const ProfileView before = view;

    // The decoder must read only `size` bytes; a copy of exactly that size lets ASan see it.
    const std::vector<std::uint8_t> line(data, data + size);
    DecodeProfileReply(line.data(), line.size(), view);
    if (!HasProfilePrefix(data, size)) {
        FUZZ_CHECK(view == before);
        return 0;
    }
    CheckViewFitsControls(view);

    // What Write would send, read back, must encode to the same record.
    EncodeProfile(view);
    FUZZ_CHECK((ModuleProfile[36] & 0xF1) == 0);
    const ProfileBytes sent = ModuleProfile;
    ProfileView readBack;
    const std::vector<std::uint8_t> reply = ReplyOf(sent);
    DecodeProfileReply(reply.data(), reply.size(), readBack);
    CheckViewFitsControls(readBack);
    EncodeProfile(readBack);
    FUZZ_CHECK(ModuleProfile == sent);
    return 0;
}
