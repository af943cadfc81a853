#include "core/task_definition.h"

namespace kqd {
namespace {

std::u16string Number(int32_t value) {
  const std::string digits = std::to_string(value);
  return std::u16string(digits.begin(), digits.end());
}

std::u16string Hex(uint32_t value) {
  constexpr char16_t kDigits[] = u"0123456789ABCDEF";
  std::u16string out;
  do {
    out.insert(out.begin(), kDigits[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  return out;
}

struct Named {
  int32_t value;
  const char16_t* name;
};

template <size_t N>
std::u16string NameOf(const Named (&table)[N], int32_t value) {
  for (const auto& entry : table) {
    if (entry.value == value) return entry.name;
  }
  return Number(value);
}

constexpr Named kRunLevels[] = {{0, u"LeastPrivilege"}, {1, u"HighestAvailable"}};
constexpr Named kLogonTypes[] = {{0, u"None"},  {1, u"Password"},       {2, u"S4U"},
                                 {3, u"InteractiveToken"}, {4, u"Group"}, {5, u"ServiceAccount"},
                                 {6, u"InteractiveTokenOrPassword"}};

class Writer {
 public:
  void Open(std::u16string_view name, std::u16string_view attributes = {}) {
    Indent();
    out_ += u'<';
    out_ += name;
    out_ += attributes;
    out_ += u">\n";
    ++depth_;
  }
  void Close(std::u16string_view name) {
    --depth_;
    Indent();
    out_ += u"</";
    out_ += name;
    out_ += u">\n";
  }
  void Leaf(std::u16string_view name, std::u16string_view text) {
    Indent();
    out_ += u'<';
    out_ += name;
    out_ += u'>';
    out_ += EscapeXml(text);
    out_ += u"</";
    out_ += name;
    out_ += u">\n";
  }
  void Leaf(std::u16string_view name, const std::optional<std::u16string>& text) {
    if (text) Leaf(name, std::u16string_view(*text));
  }
  void Leaf(std::u16string_view name, const std::optional<bool>& value) {
    if (value) Leaf(name, std::u16string_view(*value ? u"true" : u"false"));
  }
  void Raw(std::u16string_view text) { out_ += text; }
  std::u16string Take() { return std::move(out_); }

 private:
  void Indent() { out_.append(static_cast<size_t>(depth_) * 2, u' '); }
  std::u16string out_;
  int depth_ = 0;
};

std::u16string Attribute(std::u16string_view name, const std::optional<std::u16string>& value) {
  if (!value) return {};
  return std::u16string(u" ") + std::u16string(name) + u"=\"" + EscapeXml(*value, true) + u"\"";
}

}  // namespace

std::u16string EscapeXml(std::u16string_view text, bool attribute) {
  std::u16string out;
  out.reserve(text.size());
  for (const char16_t c : text) {
    switch (c) {
      case u'&': out += u"&amp;"; break;
      case u'<': out += u"&lt;"; break;
      case u'>': out += u"&gt;"; break;
      case u'"':
        out += attribute ? u"&quot;" : u"\"";
        break;
      default:
        if (c < 0x20 && c != u'\t' && c != u'\n') {
          out += u"&#x" + Hex(c) + u";";
        } else {
          out += c;
        }
    }
  }
  return out;
}

std::u16string RenderTaskXml(const TaskRecord& task) {
  Writer w;
  w.Raw(u"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n");
  w.Open(u"Task", u" version=\"1.2\" xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\"");

  if (task.author || task.version || task.description || task.securityDescriptor) {
    w.Open(u"RegistrationInfo");
    w.Leaf(u"Author", task.author);
    w.Leaf(u"Version", task.version);
    w.Leaf(u"Description", task.description);
    w.Leaf(u"SecurityDescriptor", task.securityDescriptor);
    w.Close(u"RegistrationInfo");
  }

  if (!task.triggers.empty()) {
    w.Open(u"Triggers");
    for (const auto& trigger : task.triggers) {
      // Only event triggers have their own element here; any other type shows its number.
      const bool known = trigger.type == taskschd::kTriggerEvent;
      const std::u16string element = known ? u"EventTrigger" : u"Trigger";
      w.Open(element, (known ? std::u16string() : u" type=\"" + Number(trigger.type) + u"\"") +
                          Attribute(u"id", trigger.id));
      w.Leaf(u"Subscription", trigger.subscription);
      w.Leaf(u"Delay", trigger.delay);
      w.Close(element);
    }
    w.Close(u"Triggers");
  }

  if (task.userId || task.logonType || task.runLevel) {
    w.Open(u"Principals");
    w.Open(u"Principal", u" id=\"Author\"");
    w.Leaf(u"UserId", task.userId);
    if (task.logonType) w.Leaf(u"LogonType", std::u16string_view(NameOf(kLogonTypes, *task.logonType)));
    if (task.runLevel) w.Leaf(u"RunLevel", std::u16string_view(NameOf(kRunLevels, *task.runLevel)));
    w.Close(u"Principal");
    w.Close(u"Principals");
  }

  if (task.allowDemandStart || task.disallowStartIfOnBatteries || task.stopIfGoingOnBatteries) {
    w.Open(u"Settings");
    w.Leaf(u"AllowStartOnDemand", task.allowDemandStart);
    w.Leaf(u"DisallowStartIfOnBatteries", task.disallowStartIfOnBatteries);
    w.Leaf(u"StopIfGoingOnBatteries", task.stopIfGoingOnBatteries);
    w.Close(u"Settings");
  }

  if (!task.actions.empty()) {
    w.Open(u"Actions", u" Context=\"Author\"");
    for (const auto& action : task.actions) {
      const bool known = action.type == taskschd::kActionExec;
      const std::u16string element = known ? u"Exec" : u"Action";
      w.Open(element, (known ? std::u16string() : u" type=\"" + Number(action.type) + u"\"") +
                          Attribute(u"id", action.id));
      w.Leaf(u"Command", action.path);
      w.Leaf(u"Arguments", action.arguments);
      w.Leaf(u"WorkingDirectory", action.workingDirectory);
      w.Close(element);
    }
    w.Close(u"Actions");
  }

  w.Close(u"Task");
  return w.Take();
}

}  // namespace kqd
