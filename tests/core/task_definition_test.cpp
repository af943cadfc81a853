#include "core/task_definition.h"

#include <gtest/gtest.h>

#include <string>

namespace kqd {
namespace {

// Readable failure output: the documents are ASCII, anything else shows as '?'.
std::string Narrow(const std::u16string& text) {
  std::string out;
  for (const char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

struct EscapeCase {
  const char* name;
  std::u16string input;
  std::u16string asText;
  std::u16string asAttribute;
};

TEST(TaskXmlEscape, EscapesMarkupQuotesAndControlCharacters) {
  const EscapeCase cases[] = {
      {"empty", u"", u"", u""},
      {"plain", u"C:\\Program Files\\kqd.exe", u"C:\\Program Files\\kqd.exe", u"C:\\Program Files\\kqd.exe"},
      {"markup", u"a<b>&c", u"a&lt;b&gt;&amp;c", u"a&lt;b&gt;&amp;c"},
      {"already escaped stays literal", u"&amp;", u"&amp;amp;", u"&amp;amp;"},
      {"quotes", u"\"x\" 'y'", u"\"x\" 'y'", u"&quot;x&quot; 'y'"},
      {"tab and line feed pass", u"a\tb\nc", u"a\tb\nc", u"a\tb\nc"},
      {"other controls", std::u16string(u"a\x01\rb\x1f", 5), u"a&#x1;&#xD;b&#x1F;", u"a&#x1;&#xD;b&#x1F;"},
      {"non-ASCII passes", u"\u00e9\u4e2d", u"\u00e9\u4e2d", u"\u00e9\u4e2d"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(EscapeXml(c.input), c.asText);
    EXPECT_EQ(EscapeXml(c.input, true), c.asAttribute);
  }
}

TEST(TaskXmlRender, NothingSetGivesTheBareTask) {
  EXPECT_EQ(Narrow(RenderTaskXml(TaskRecord{})),
            "<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n"
            "<Task version=\"1.2\" xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">\n"
            "</Task>\n");
}

TEST(TaskXmlRender, SectionsAppearOnlyWithTheFieldsThatWereSet) {
  TaskRecord onlyVersion;
  onlyVersion.version = u"2";
  EXPECT_EQ(Narrow(RenderTaskXml(onlyVersion)),
            "<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n"
            "<Task version=\"1.2\" xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">\n"
            "  <RegistrationInfo>\n"
            "    <Version>2</Version>\n"
            "  </RegistrationInfo>\n"
            "</Task>\n");

  TaskRecord onlySetting;
  onlySetting.stopIfGoingOnBatteries = true;
  onlySetting.securityDescriptor = u"";  // set but empty still shows
  EXPECT_EQ(Narrow(RenderTaskXml(onlySetting)),
            "<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n"
            "<Task version=\"1.2\" xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">\n"
            "  <RegistrationInfo>\n"
            "    <SecurityDescriptor></SecurityDescriptor>\n"
            "  </RegistrationInfo>\n"
            "  <Settings>\n"
            "    <StopIfGoingOnBatteries>true</StopIfGoingOnBatteries>\n"
            "  </Settings>\n"
            "</Task>\n");

  TaskRecord onlyDisallow;
  onlyDisallow.disallowStartIfOnBatteries = false;  // set to false still shows
  EXPECT_NE(Narrow(RenderTaskXml(onlyDisallow))
                .find("  <Settings>\n    <DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>\n"),
            std::string::npos);
}

TEST(TaskXmlRender, EverySectionInSchemaOrderWithEnumerationNames) {
  TaskRecord task;
  task.actions.push_back({taskschd::kActionExec, u"A\"1", u"C:\\a b\\x.exe", u"-y & z", u"C:\\w"});
  task.actions.push_back({7, std::nullopt, std::nullopt, std::nullopt, std::nullopt});
  task.stopIfGoingOnBatteries = false;
  task.allowDemandStart = true;
  task.runLevel = taskschd::kRunLevelLua;
  task.logonType = 3;
  task.userId = u"DOMAIN\\user";
  task.triggers.push_back({taskschd::kTriggerEvent, u"T1", u"<Q a=\"1\"/>", u"PT5M"});
  task.triggers.push_back({2, std::nullopt, std::nullopt, std::nullopt});
  task.description = u"d";
  task.author = u"a";

  EXPECT_EQ(Narrow(RenderTaskXml(task)),
            "<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n"
            "<Task version=\"1.2\" xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">\n"
            "  <RegistrationInfo>\n"
            "    <Author>a</Author>\n"
            "    <Description>d</Description>\n"
            "  </RegistrationInfo>\n"
            "  <Triggers>\n"
            "    <EventTrigger id=\"T1\">\n"
            "      <Subscription>&lt;Q a=\"1\"/&gt;</Subscription>\n"
            "      <Delay>PT5M</Delay>\n"
            "    </EventTrigger>\n"
            "    <Trigger type=\"2\">\n"
            "    </Trigger>\n"
            "  </Triggers>\n"
            "  <Principals>\n"
            "    <Principal id=\"Author\">\n"
            "      <UserId>DOMAIN\\user</UserId>\n"
            "      <LogonType>InteractiveToken</LogonType>\n"
            "      <RunLevel>LeastPrivilege</RunLevel>\n"
            "    </Principal>\n"
            "  </Principals>\n"
            "  <Settings>\n"
            "    <AllowStartOnDemand>true</AllowStartOnDemand>\n"
            "    <StopIfGoingOnBatteries>false</StopIfGoingOnBatteries>\n"
            "  </Settings>\n"
            "  <Actions Context=\"Author\">\n"
            "    <Exec id=\"A&quot;1\">\n"
            "      <Command>C:\\a b\\x.exe</Command>\n"
            "      <Arguments>-y &amp; z</Arguments>\n"
            "      <WorkingDirectory>C:\\w</WorkingDirectory>\n"
            "    </Exec>\n"
            "    <Action type=\"7\">\n"
            "    </Action>\n"
            "  </Actions>\n"
            "</Task>\n");
}

// Beside the names of taskschd.h's values; each set alone, which still opens Principals.
TEST(TaskXmlRender, UnknownEnumerationValuesShowAsNumbers) {
  struct Case {
    bool logon;  // else the run level
    int32_t value;
    const char* element;
  };
  const Case cases[] = {
      {true, 0, "<LogonType>None</LogonType>"},
      {true, 1, "<LogonType>Password</LogonType>"},
      {true, 2, "<LogonType>S4U</LogonType>"},
      {true, 3, "<LogonType>InteractiveToken</LogonType>"},
      {true, 4, "<LogonType>Group</LogonType>"},
      {true, 5, "<LogonType>ServiceAccount</LogonType>"},
      {true, 6, "<LogonType>InteractiveTokenOrPassword</LogonType>"},
      {true, 7, "<LogonType>7</LogonType>"},
      {true, 42, "<LogonType>42</LogonType>"},
      {false, 0, "<RunLevel>LeastPrivilege</RunLevel>"},
      {false, 1, "<RunLevel>HighestAvailable</RunLevel>"},
      {false, 2, "<RunLevel>2</RunLevel>"},
      {false, -1, "<RunLevel>-1</RunLevel>"},
  };
  for (const Case& c : cases) {
    TaskRecord task;
    (c.logon ? task.logonType : task.runLevel) = c.value;
    const std::string xml = Narrow(RenderTaskXml(task));
    EXPECT_NE(xml.find(std::string("    <Principal id=\"Author\">\n      ") + c.element + "\n"), std::string::npos)
        << xml;
  }
}

}  // namespace
}  // namespace kqd
