// SPDX-License-Identifier: Apache-2.0
// Dialog-info documents: what this side writes reads back the same, other writers'
// documents give the right lamp, and malformed, huge or deeply nested ones are refused.
#include "sip/dialog_info.h"

#include <gtest/gtest.h>

#include <string>

namespace quillet::sip {
namespace {

TEST(DialogInfoTest, WrittenDocumentsReadBackAndGiveTheirLamp) {
  DialogInfo info{7, true, "sip:door@192.0.2.4", {}};
  EXPECT_EQ(parseDialogInfo(writeDialogInfo(info)), info);
  EXPECT_EQ(lineStateOf(info), LineState::Idle);
  info.dialogs.push_back({"c&1", "early", "recipient", false});
  EXPECT_EQ(parseDialogInfo(writeDialogInfo(info)), info);
  EXPECT_EQ(lineStateOf(info), LineState::Ringing);
  info.dialogs.push_back({"c2", "confirmed", "initiator", false});
  EXPECT_EQ(lineStateOf(*parseDialogInfo(writeDialogInfo(info))), LineState::Busy);
  info.dialogs = {{std::string(kDoNotDisturbId), "confirmed", {}, true}};
  EXPECT_EQ(parseDialogInfo(writeDialogInfo(info)), info);
  EXPECT_EQ(lineStateOf(info), LineState::DoNotDisturb);
}

TEST(DialogInfoTest, ReadsOtherWritersPrefixesCommentsAndUnknownElements) {
  const auto read = parseDialogInfo(
      "<?xml version='1.0' encoding='UTF-8'?>\r\n<!-- a phone -->"
      "<d:dialog-info xmlns:d='urn:ietf:params:xml:ns:dialog-info' version='4294967295' "
      "state='partial' entity='sip:201@pbx'><d:dialog id='a' call-id='x'>"
      "<d:local><d:identity>sip:201@pbx</d:identity></d:local>"
      "<d:state event='remote-bye'> terminated </d:state></d:dialog>"
      "<d:dialog id='b'><d:state>confirmed</d:state></d:dialog></d:dialog-info>");
  ASSERT_TRUE(read);
  EXPECT_EQ(read->version, 4294967295u);
  EXPECT_FALSE(read->full);
  EXPECT_EQ(read->dialogs.size(), 2u);
  EXPECT_EQ(read->dialogs[0].state, "terminated");
  EXPECT_EQ(lineStateOf(*read), LineState::Busy);
  // A dnd element in another namespace is not ours.
  EXPECT_EQ(lineStateOf(
                *parseDialogInfo("<dialog-info version='1'><dialog id='x'><state>terminated</state>"
                                 "<dnd xmlns='urn:other'/></dialog></dialog-info>")),
            LineState::Idle);
}

TEST(DialogInfoTest, RefusesMalformedHugeAndNestedDocuments) {
  for (const char* bad :
       {"", "<dialog-info version='1'>", "<dialog-info version='1'></dialog>",
        "<dialog-info version='x'/>", "<dialog-info/>", "<presence version='1'/>",
        "<dialog-info version='1'/><dialog-info version='2'/>", "text<dialog-info version='1'/>",
        "<!DOCTYPE x [<!ENTITY a 'b'>]><dialog-info version='1'/>",
        "<dialog-info version='1' entity='&bogus;'/>", "<dialog-info version='1' entity=x/>",
        "<dialog-info version='1'><dialog id='a'><state>&#x41;</state></dialog></dialog-info>",
        "<dialog-info version='1'><![CDATA[x]]></dialog-info>", "<dialog-info version='1'",
        "<dialog-info version='99999999999'/>", "<!-- open"}) {
    EXPECT_FALSE(parseDialogInfo(bad)) << bad;
  }
  std::string deep = "<dialog-info version='1'>";
  for (int i = 0; i < 20; ++i) deep += "<a>";
  for (int i = 0; i < 20; ++i) deep += "</a>";
  EXPECT_FALSE(parseDialogInfo(deep + "</dialog-info>"));
  std::string many = "<dialog-info version='1'>";
  for (size_t i = 0; i <= kMaxDialogInfoDialogs; ++i) many += "<dialog id='x'/>";
  EXPECT_FALSE(parseDialogInfo(many + "</dialog-info>"));
  std::string huge = "<dialog-info version='1'>" + std::string(kMaxDialogInfoBytes, ' ');
  EXPECT_FALSE(parseDialogInfo(huge + "</dialog-info>"));
}

}  // namespace
}  // namespace quillet::sip
