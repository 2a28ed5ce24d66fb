#include "repository_under_test.h"

namespace kelvo_test {

std::string ChildProgram() {
    return KELVO_CORE_TEST_CHILD;
}

}  // namespace kelvo_test
