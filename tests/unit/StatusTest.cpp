#include <gtest/gtest.h>

#include "Status.h"

namespace nork {
namespace {

struct StatusText {
    int value;
    const char16_t* text;
};

TEST(StatusToString, KnownValuesKeepNumberAndText) {
    const StatusText cases[] = {
        {0, u"Ok"},
        {1, u"Ok, the device is already in the requested state"},
        {104, u"Error occured"},
        {110, u"The sum of the domain capacities is larger than the toal device capacity"},
        {205, u"Failed to refresh the file system no the device"},
        {300, u"Device is not connected"},
        {301, u"Device is not ready"},
        {501, u"Command is not supported"},
        {506, u"Updating a single domain size is not allowed"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(std::u16string(statusToString(static_cast<STATUS>(c.value))), c.text) << c.value;
    }
}

TEST(StatusToString, UnnamedValuesAreUnknown) {
    for (int v : {112, 207, 210, 503, -1, 1000, 2, 99, 305}) {
        EXPECT_EQ(std::u16string(statusToString(static_cast<STATUS>(v))), u"Unknown status") << v;
    }
}

}  // namespace
}  // namespace nork
