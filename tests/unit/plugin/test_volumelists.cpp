// SPDX-License-Identifier: GPL-3.0-or-later
// The dialog's lists of volumes: all, numbers with commas, and what they refuse.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "plugin/volumelists.h"

namespace {

std::string refusal(const std::string& list, std::size_t count)
{
    try {
        listedVolumes(list, count, "run.fmr");
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "no refusal";
}

}  // namespace

TEST(VolumeLists, AllOrNumbersInTheOrderGiven)
{
    EXPECT_EQ(listedVolumes("all", 3, "run.fmr"), (std::vector<unsigned>{0, 1, 2}));
    EXPECT_EQ(listedVolumes("2,0", 3, "run.fmr"), (std::vector<unsigned>{2, 0}));
    EXPECT_EQ(listedVolumes("1", 3, "run.fmr"), (std::vector<unsigned>{1}));
}

TEST(VolumeLists, RefusesWhatIsNotAListAndVolumesThatAreNotThere)
{
    EXPECT_EQ(refusal("3", 3), "Cannot use volume 3 of file run.fmr, which has only 3 volumes.");
    EXPECT_EQ(refusal("0,7", 3), "Cannot use volume 7 of file run.fmr, which has only 3 volumes.");
    EXPECT_EQ(refusal("0,,1", 3), "The volume list \"0,,1\" for file run.fmr is neither \"all\" nor volume numbers "
                                  "counted from 0 and separated by commas (such as 0,1,2).");
    EXPECT_NE(refusal("-1", 3).find("is neither \"all\""), std::string::npos);
    EXPECT_NE(refusal("1,a", 3).find("is neither \"all\""), std::string::npos);
    EXPECT_EQ(refusal("1,1", 3), "The volume list \"1,1\" for file run.fmr names volume 1 twice.");
    EXPECT_EQ(refusal("all", 0), "Cannot use the volumes of file run.fmr, which has only 0 volumes.");
}
