#include "e2e_support.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <vector>

#include "tform1.h"

bool PickPort(TForm1& form, const char* portName)
{
    form.cmbComSel->showPopup();
    form.cmbComSel->hidePopup();
    const int position = form.cmbComSel->findText(portName);
    if (position < 0)
        return false;
    form.cmbComSel->setCurrentIndex(position);
    return true;
}

namespace {

std::vector<std::string> TranscriptLines(const std::string& path)
{
    std::ifstream file(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);)
        lines.push_back(line);
    return lines;
}

}  // namespace

std::optional<ProfileBytes> LastProfileSent(const std::string& transcriptPath)
{
    // All bytes sent, in order: an answer may span several transfer lines.
    std::vector<std::uint8_t> sent;
    for (const std::string& line : TranscriptLines(transcriptPath)) {
        // The hex bytes end where the quoted rendering begins.
        std::istringstream fields(line.substr(0, line.find('"')));
        std::string stamp, direction, hex;
        fields >> stamp >> direction;
        if (direction != "TX")
            continue;
        while (fields >> hex)
            sent.push_back(static_cast<std::uint8_t>(std::stoul(hex, nullptr, 16)));
    }
    const std::string prefix = kProfileReplyPrefix;
    const auto answer = std::find_end(sent.begin(), sent.end(), prefix.begin(), prefix.end());
    if (answer == sent.end() || sent.end() - answer < static_cast<long>(prefix.size() + kProfileSize))
        return std::nullopt;
    ProfileBytes profile;
    std::copy_n(answer + static_cast<long>(prefix.size()), kProfileSize, profile.begin());
    return profile;
}

bool TranscriptHasEvent(const std::string& transcriptPath, const std::string& event)
{
    const auto lines = TranscriptLines(transcriptPath);
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        const auto at = line.find(" -- ");
        return at != std::string::npos && line.substr(at + 4) == event;
    });
}
