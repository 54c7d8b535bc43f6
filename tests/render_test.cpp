#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bitstream.h"
#include "render.h"
#include "support.h"

namespace {

struct Version {
    const char *name;
    std::size_t (*lines)(const unsigned char *, std::size_t, char *);
};

std::vector<Version> versions() {
    std::vector<Version> all = {{"dispatched", render::lines}, {"portable", render::lines_portable}};
#ifdef FPGABITS_HAVE_SSSE3_PATH
    if (render::ssse3_supported())
        all.push_back({"ssse3", render::lines_ssse3});
#endif
    return all;
}

// The items part of fpgabits.i, for data whose lines are left as the
// renderer leaves them: a partial last line open.
std::string reference(const std::string &data) {
    const std::string whole = support::expected_output("", "", "", "", data, false);
    return whole.substr(whole.find("{\n") + 2);
}

TEST(Render, EveryVersionMatchesTheReferenceAndStaysInItsBounds) {
    const std::string data = bitstream::data(1000, 3) + std::string("\x00\x0f\x10\x7f\x80\x9a\xa9\xf0\xff", 9);
    for (const Version &v : versions()) {
        for (std::size_t size = 0; size <= data.size(); size += size < 80 ? 1 : 37) {
            const std::string part = data.substr(data.size() - size);
            const std::string want = reference(part);
            ASSERT_LE(want.size(), render::max_output(size));
            // A guard zone behind the buffer's promised size shows stray writes.
            std::string out(render::max_output(size) + 64, '#');
            const std::size_t written = v.lines(reinterpret_cast<const unsigned char *>(part.data()), size, out.data());
            ASSERT_EQ(out.substr(0, written), want) << v.name << ", " << size << " bytes";
            EXPECT_EQ(out.substr(render::max_output(size)), std::string(64, '#')) << v.name << ", " << size;
        }
    }
}

} // namespace
