// Error numbers: the named constants are Linux's numbers and the runtime's, which the operations
// store (their tests pin each number where it arises), and drov_def_strerror words each of them as
// tests/golden/frame/error_texts has it.
#include <cerrno>
#include <fstream>
#include <string>

#include "support.h"

namespace {

static_assert(DROV_DEF_ENOENT == ENOENT && DROV_DEF_ENOMEM == ENOMEM && DROV_DEF_EINVAL == EINVAL &&
              DROV_DEF_ENOSPC == ENOSPC && DROV_DEF_EIDRM == EIDRM && DROV_DEF_EVARIANT == EIDRM &&
              DROV_DEF_EMSGSIZE == EMSGSIZE);
static_assert(DROV_DEF_ENOENT == QEL_ENOENT && DROV_DEF_ENOMEM == QEL_ENOMEM && DROV_DEF_EINVAL == QEL_EINVAL &&
              DROV_DEF_ENOSPC == QEL_ENOSPC && DROV_DEF_EIDRM == QEL_EIDRM && DROV_DEF_EMSGSIZE == QEL_EMSGSIZE);

TEST(ErrorText, EveryNumberInWords) {
    std::ifstream in(DROV_TEST_GOLDEN_DIR "/frame/error_texts");
    int cases = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        const size_t blank = line.find(' ');
        const auto code = static_cast<uint32_t>(std::stoul(line.substr(0, blank), nullptr, 0));
        EXPECT_EQ(drov_def_strerror(code), line.substr(blank + 1)) << code;
        ++cases;
    }
    EXPECT_EQ(cases, 16);
}

} // namespace
