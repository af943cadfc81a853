// The double's COM objects. Every object counts itself live from construction
// to destruction, so a test sees any reference the caller did not release.

#include <taskschd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <vector>

#include "common/com_object.h"
#include "core/task_definition.h"
#include "doubles/taskschd/task_store.h"
#include "doubles/taskschd/taskschd_double.h"
#include "win/com_ptr.h"
#include "win/event_trigger.h"
#include "win/unique_handle.h"

namespace kqdtb::taskschd {
namespace {

using kqd::win::ComPtr;

std::mutex g_logLock;
std::vector<std::wstring> g_log;
std::map<std::wstring, HRESULT> g_failures;
constexpr size_t kLogLimit = 10000;  // an installed service must not grow it without bound

// Guards every object's fields; recursive because a registration reads the
// definition's children while holding it.
std::recursive_mutex g_state;
using StateGuard = std::lock_guard<std::recursive_mutex>;

// {7E1B3C2A-5D44-4F0B-9C61-2A8E4B7D9F10}: hands out the double's own definition object.
constexpr GUID kDefinitionIdentity = {0x7e1b3c2a, 0x5d44, 0x4f0b, {0x9c, 0x61, 0x2a, 0x8e, 0x4b, 0x7d, 0x9f, 0x10}};

// Records the call and returns the failure a test asked for, if any.
HRESULT Enter(const wchar_t* method) {
  std::lock_guard lock(g_logLock);
  if (g_log.size() < kLogLimit) g_log.emplace_back(method);
  const auto failure = g_failures.find(method);
  return failure == g_failures.end() ? S_OK : failure->second;
}

std::u16string FromBstr(BSTR text) {
  return text == nullptr ? std::u16string() : std::u16string(reinterpret_cast<const char16_t*>(text), ::SysStringLen(text));
}

std::wstring Wide(const std::u16string& text) { return std::wstring(text.begin(), text.end()); }

// A property write the call log records and a test may make fail; the value is
// kept only when the call goes through.
template <typename Field, typename Value>
HRESULT Put(const wchar_t* method, Field& field, Value&& value) {
  if (HRESULT hr = Enter(method); FAILED(hr)) return hr;
  StateGuard g(g_state);
  field = std::forward<Value>(value);
  return S_OK;
}

HRESULT ToBstr(const std::wstring& text, BSTR* out) {
  if (out == nullptr) return E_POINTER;
  *out = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

// Property reads, under the state lock; an unset string reads as empty.
HRESULT Get(const std::optional<std::u16string>& text, BSTR* out) {
  StateGuard g(g_state);
  return ToBstr(text ? Wide(*text) : std::wstring(), out);
}

HRESULT Get(const std::optional<bool>& value, bool byDefault, VARIANT_BOOL* out) {
  if (out == nullptr) return E_POINTER;
  StateGuard g(g_state);
  *out = value.value_or(byDefault) ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

// A string VARIANT argument: absent (empty or null), a string, or invalid.
enum class Arg { kAbsent, kString, kInvalid };
Arg Classify(const VARIANT& v) {
  switch (V_VT(&v)) {
    case VT_EMPTY:
    case VT_NULL: return Arg::kAbsent;
    case VT_BSTR: return Arg::kString;
    default: return Arg::kInvalid;
  }
}

template <typename T, typename Out>
HRESULT Hand(const ComPtr<T>& object, Out** out) {
  if (out == nullptr) return E_POINTER;
  *out = object.get();
  (*out)->AddRef();
  return S_OK;
}

struct Tag {};

// Every object answers IDispatch too, without type information: callers bind early.
template <typename Interface, typename... Also>
class Object : public com::ComObject<Tag, Interface, IDispatch, Also...> {
 public:
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }
};

using com::Make;

class RegistrationInfo final : public Object<IRegistrationInfo> {
 public:
  std::optional<std::u16string> author, version, description, securityDescriptor;

  HRESULT STDMETHODCALLTYPE get_Description(BSTR* out) override { return Get(description, out); }
  HRESULT STDMETHODCALLTYPE put_Description(BSTR text) override {
    return Put(L"IRegistrationInfo::put_Description", description, FromBstr(text));
  }
  HRESULT STDMETHODCALLTYPE get_Author(BSTR* out) override { return Get(author, out); }
  HRESULT STDMETHODCALLTYPE put_Author(BSTR text) override {
    return Put(L"IRegistrationInfo::put_Author", author, FromBstr(text));
  }
  HRESULT STDMETHODCALLTYPE get_Version(BSTR* out) override { return Get(version, out); }
  HRESULT STDMETHODCALLTYPE put_Version(BSTR text) override {
    return Put(L"IRegistrationInfo::put_Version", version, FromBstr(text));
  }
  HRESULT STDMETHODCALLTYPE put_SecurityDescriptor(VARIANT sddl) override {
    if (HRESULT hr = Enter(L"IRegistrationInfo::put_SecurityDescriptor"); FAILED(hr)) return hr;
    const Arg kind = Classify(sddl);
    if (kind == Arg::kInvalid) return E_INVALIDARG;
    StateGuard g(g_state);
    securityDescriptor = kind == Arg::kString ? std::optional(FromBstr(V_BSTR(&sddl))) : std::nullopt;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Date(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Date(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Documentation(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Documentation(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_XmlText(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_XmlText(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_URI(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_URI(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_SecurityDescriptor(VARIANT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Source(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Source(BSTR) override { return E_NOTIMPL; }
};

class Principal final : public Object<IPrincipal> {
 public:
  std::optional<std::u16string> userId;
  std::optional<int32_t> logonType, runLevel;

  HRESULT STDMETHODCALLTYPE get_UserId(BSTR* out) override { return Get(userId, out); }
  HRESULT STDMETHODCALLTYPE put_UserId(BSTR text) override {
    return Put(L"IPrincipal::put_UserId", userId, FromBstr(text));
  }
  HRESULT STDMETHODCALLTYPE get_LogonType(TASK_LOGON_TYPE* out) override {
    if (out == nullptr) return E_POINTER;
    StateGuard g(g_state);
    *out = static_cast<TASK_LOGON_TYPE>(logonType.value_or(TASK_LOGON_NONE));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_LogonType(TASK_LOGON_TYPE type) override {
    return Put(L"IPrincipal::put_LogonType", logonType, type);
  }
  HRESULT STDMETHODCALLTYPE get_RunLevel(TASK_RUNLEVEL_TYPE* out) override {
    if (out == nullptr) return E_POINTER;
    StateGuard g(g_state);
    *out = static_cast<TASK_RUNLEVEL_TYPE>(runLevel.value_or(TASK_RUNLEVEL_LUA));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_RunLevel(TASK_RUNLEVEL_TYPE level) override {
    return Put(L"IPrincipal::put_RunLevel", runLevel, level);
  }
  HRESULT STDMETHODCALLTYPE get_Id(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Id(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_DisplayName(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_DisplayName(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_GroupId(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_GroupId(BSTR) override { return E_NOTIMPL; }
};

class Settings final : public Object<ITaskSettings> {
 public:
  std::optional<bool> allowDemandStart, disallowStartIfOnBatteries, stopIfGoingOnBatteries;

  // Getters answer Task Scheduler's defaults for what was never set.
  HRESULT STDMETHODCALLTYPE get_AllowDemandStart(VARIANT_BOOL* out) override {
    return Get(allowDemandStart, true, out);
  }
  HRESULT STDMETHODCALLTYPE put_AllowDemandStart(VARIANT_BOOL value) override {
    return Put(L"ITaskSettings::put_AllowDemandStart", allowDemandStart, value != VARIANT_FALSE);
  }
  HRESULT STDMETHODCALLTYPE get_DisallowStartIfOnBatteries(VARIANT_BOOL* out) override {
    return Get(disallowStartIfOnBatteries, true, out);
  }
  HRESULT STDMETHODCALLTYPE put_DisallowStartIfOnBatteries(VARIANT_BOOL value) override {
    return Put(L"ITaskSettings::put_DisallowStartIfOnBatteries", disallowStartIfOnBatteries, value != VARIANT_FALSE);
  }
  HRESULT STDMETHODCALLTYPE get_StopIfGoingOnBatteries(VARIANT_BOOL* out) override {
    return Get(stopIfGoingOnBatteries, true, out);
  }
  HRESULT STDMETHODCALLTYPE put_StopIfGoingOnBatteries(VARIANT_BOOL value) override {
    return Put(L"ITaskSettings::put_StopIfGoingOnBatteries", stopIfGoingOnBatteries, value != VARIANT_FALSE);
  }
  HRESULT STDMETHODCALLTYPE get_RestartInterval(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_RestartInterval(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_RestartCount(INT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_RestartCount(INT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_MultipleInstances(TASK_INSTANCES_POLICY*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_MultipleInstances(TASK_INSTANCES_POLICY) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_AllowHardTerminate(VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_AllowHardTerminate(VARIANT_BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_StartWhenAvailable(VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_StartWhenAvailable(VARIANT_BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_XmlText(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_XmlText(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_RunOnlyIfNetworkAvailable(VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_RunOnlyIfNetworkAvailable(VARIANT_BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_ExecutionTimeLimit(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_ExecutionTimeLimit(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_DeleteExpiredTaskAfter(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_DeleteExpiredTaskAfter(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Priority(INT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Priority(INT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Compatibility(TASK_COMPATIBILITY*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Compatibility(TASK_COMPATIBILITY) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Hidden(VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Hidden(VARIANT_BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_IdleSettings(IIdleSettings**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_IdleSettings(IIdleSettings*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_RunOnlyIfIdle(VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_RunOnlyIfIdle(VARIANT_BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_WakeToRun(VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_WakeToRun(VARIANT_BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_NetworkSettings(INetworkSettings**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_NetworkSettings(INetworkSettings*) override { return E_NOTIMPL; }
};

class EventTrigger final : public Object<IEventTrigger, ITrigger> {
 public:
  std::optional<std::u16string> id, subscription, delay;

  HRESULT STDMETHODCALLTYPE get_Type(TASK_TRIGGER_TYPE2* out) override {
    if (out == nullptr) return E_POINTER;
    *out = TASK_TRIGGER_EVENT;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Id(BSTR* out) override { return Get(id, out); }
  HRESULT STDMETHODCALLTYPE put_Id(BSTR text) override {
    return Put(L"ITrigger::put_Id", id, FromBstr(text));
  }
  HRESULT STDMETHODCALLTYPE get_Subscription(BSTR* out) override { return Get(subscription, out); }
  HRESULT STDMETHODCALLTYPE put_Subscription(BSTR text) override {
    return Put(L"IEventTrigger::put_Subscription", subscription, FromBstr(text));
  }
  HRESULT STDMETHODCALLTYPE get_Delay(BSTR* out) override { return Get(delay, out); }
  HRESULT STDMETHODCALLTYPE put_Delay(BSTR text) override {
    return Put(L"IEventTrigger::put_Delay", delay, FromBstr(text));
  }
  HRESULT STDMETHODCALLTYPE get_ValueQueries(ITaskNamedValueCollection**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_ValueQueries(ITaskNamedValueCollection*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Repetition(IRepetitionPattern**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Repetition(IRepetitionPattern*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_ExecutionTimeLimit(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_ExecutionTimeLimit(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_StartBoundary(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_StartBoundary(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_EndBoundary(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_EndBoundary(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL) override { return E_NOTIMPL; }
};

class TriggerCollection final : public Object<ITriggerCollection> {
 public:
  std::vector<ComPtr<EventTrigger>> items;

  HRESULT STDMETHODCALLTYPE get_Count(LONG* out) override {
    if (out == nullptr) return E_POINTER;
    StateGuard g(g_state);
    *out = static_cast<LONG>(items.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Item(LONG index, ITrigger** out) override {  // 1-based, as Task Scheduler
    StateGuard g(g_state);
    if (index < 1 || static_cast<size_t>(index) > items.size()) return E_INVALIDARG;
    return Hand(items[index - 1], out);
  }
  // Only event triggers: the service asks for nothing else.
  HRESULT STDMETHODCALLTYPE Create(TASK_TRIGGER_TYPE2 type, ITrigger** out) override {
    if (HRESULT hr = Enter(L"ITriggerCollection::Create"); FAILED(hr)) return hr;
    if (out == nullptr) return E_POINTER;
    if (type != TASK_TRIGGER_EVENT) return E_NOTIMPL;
    StateGuard g(g_state);
    items.push_back(Make<EventTrigger>());
    return Hand(items.back(), out);
  }
  HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Remove(VARIANT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Clear() override { return E_NOTIMPL; }
};

class ExecAction final : public Object<IExecAction, IAction> {
 public:
  std::optional<std::u16string> id, path, arguments, workingDirectory;

  HRESULT STDMETHODCALLTYPE get_Id(BSTR* out) override { return Get(id, out); }
  HRESULT STDMETHODCALLTYPE put_Id(BSTR text) override { return Put(L"IAction::put_Id", id, FromBstr(text)); }
  HRESULT STDMETHODCALLTYPE get_Type(TASK_ACTION_TYPE* out) override {
    if (out == nullptr) return E_POINTER;
    *out = TASK_ACTION_EXEC;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Path(BSTR* out) override { return Get(path, out); }
  HRESULT STDMETHODCALLTYPE put_Path(BSTR text) override {
    return Put(L"IExecAction::put_Path", path, FromBstr(text));
  }
  HRESULT STDMETHODCALLTYPE get_Arguments(BSTR* out) override { return Get(arguments, out); }
  HRESULT STDMETHODCALLTYPE put_Arguments(BSTR text) override {
    return Put(L"IExecAction::put_Arguments", arguments, FromBstr(text));
  }
  HRESULT STDMETHODCALLTYPE get_WorkingDirectory(BSTR* out) override { return Get(workingDirectory, out); }
  HRESULT STDMETHODCALLTYPE put_WorkingDirectory(BSTR text) override {
    return Put(L"IExecAction::put_WorkingDirectory", workingDirectory, FromBstr(text));
  }
};

class ActionCollection final : public Object<IActionCollection> {
 public:
  std::vector<ComPtr<ExecAction>> items;

  HRESULT STDMETHODCALLTYPE get_Count(LONG* out) override {
    if (out == nullptr) return E_POINTER;
    StateGuard g(g_state);
    *out = static_cast<LONG>(items.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Item(LONG index, IAction** out) override {
    StateGuard g(g_state);
    if (index < 1 || static_cast<size_t>(index) > items.size()) return E_INVALIDARG;
    return Hand(items[index - 1], out);
  }
  HRESULT STDMETHODCALLTYPE Create(TASK_ACTION_TYPE type, IAction** out) override {
    if (HRESULT hr = Enter(L"IActionCollection::Create"); FAILED(hr)) return hr;
    if (out == nullptr) return E_POINTER;
    if (type != TASK_ACTION_EXEC) return E_NOTIMPL;
    StateGuard g(g_state);
    items.push_back(Make<ExecAction>());
    return Hand(items.back(), out);
  }
  HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_XmlText(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_XmlText(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Remove(VARIANT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Clear() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Context(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Context(BSTR) override { return E_NOTIMPL; }
};

class Definition final : public Object<ITaskDefinition> {
 public:
  HRESULT STDMETHODCALLTYPE get_RegistrationInfo(IRegistrationInfo** out) override {
    if (HRESULT hr = Enter(L"ITaskDefinition::get_RegistrationInfo"); FAILED(hr)) return hr;
    return Hand(info_, out);
  }
  HRESULT STDMETHODCALLTYPE get_Triggers(ITriggerCollection** out) override {
    if (HRESULT hr = Enter(L"ITaskDefinition::get_Triggers"); FAILED(hr)) return hr;
    return Hand(triggers_, out);
  }
  HRESULT STDMETHODCALLTYPE get_Settings(ITaskSettings** out) override {
    if (HRESULT hr = Enter(L"ITaskDefinition::get_Settings"); FAILED(hr)) return hr;
    return Hand(settings_, out);
  }
  HRESULT STDMETHODCALLTYPE get_Principal(IPrincipal** out) override {
    if (HRESULT hr = Enter(L"ITaskDefinition::get_Principal"); FAILED(hr)) return hr;
    return Hand(principal_, out);
  }
  HRESULT STDMETHODCALLTYPE get_Actions(IActionCollection** out) override {
    if (HRESULT hr = Enter(L"ITaskDefinition::get_Actions"); FAILED(hr)) return hr;
    return Hand(actions_, out);
  }
  HRESULT STDMETHODCALLTYPE put_RegistrationInfo(IRegistrationInfo*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Triggers(ITriggerCollection*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Settings(ITaskSettings*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Data(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Data(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Principal(IPrincipal*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Actions(IActionCollection*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_XmlText(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_XmlText(BSTR) override { return E_NOTIMPL; }

  kqd::TaskRecord Snapshot() const {
    StateGuard g(g_state);
    kqd::TaskRecord task;
    task.author = info_->author;
    task.version = info_->version;
    task.description = info_->description;
    task.securityDescriptor = info_->securityDescriptor;
    task.userId = principal_->userId;
    task.logonType = principal_->logonType;
    task.runLevel = principal_->runLevel;
    task.allowDemandStart = settings_->allowDemandStart;
    task.disallowStartIfOnBatteries = settings_->disallowStartIfOnBatteries;
    task.stopIfGoingOnBatteries = settings_->stopIfGoingOnBatteries;
    for (const auto& t : triggers_->items) task.triggers.push_back({TASK_TRIGGER_EVENT, t->id, t->subscription, t->delay});
    for (const auto& a : actions_->items) {
      task.actions.push_back({TASK_ACTION_EXEC, a->id, a->path, a->arguments, a->workingDirectory});
    }
    return task;
  }

 protected:
  HRESULT QueryOwn(REFIID iid, void** out) override {
    if (iid != kDefinitionIdentity) return E_NOINTERFACE;
    *out = this;
    AddRef();
    return S_OK;
  }

 private:
  ComPtr<RegistrationInfo> info_ = Make<RegistrationInfo>();
  ComPtr<Principal> principal_ = Make<Principal>();
  ComPtr<Settings> settings_ = Make<Settings>();
  ComPtr<TriggerCollection> triggers_ = Make<TriggerCollection>();
  ComPtr<ActionCollection> actions_ = Make<ActionCollection>();
};

class RegisteredTask final : public Object<IRegisteredTask> {
 public:
  std::wstring folder, name, xml;

  HRESULT STDMETHODCALLTYPE get_Name(BSTR* out) override { return ToBstr(name, out); }
  HRESULT STDMETHODCALLTYPE get_Path(BSTR* out) override { return ToBstr(store::JoinFolder(folder, name), out); }
  HRESULT STDMETHODCALLTYPE get_Xml(BSTR* out) override { return ToBstr(xml, out); }
  HRESULT STDMETHODCALLTYPE get_State(TASK_STATE*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Run(VARIANT, IRunningTask**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE RunEx(VARIANT, LONG, LONG, BSTR, IRunningTask**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetInstances(LONG, IRunningTaskCollection**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_LastRunTime(DATE*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_LastTaskResult(LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_NumberOfMissedRuns(LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_NextRunTime(DATE*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Definition(ITaskDefinition**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetSecurityDescriptor(LONG, BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetSecurityDescriptor(BSTR, LONG) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Stop(LONG) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetRunTimes(const LPSYSTEMTIME, const LPSYSTEMTIME, DWORD*, LPSYSTEMTIME*) override {
    return E_NOTIMPL;
  }
};

HRESULT HandRegistered(const std::wstring& folder, const std::wstring& name, std::wstring xml, IRegisteredTask** out) {
  if (out == nullptr) return S_OK;  // the caller may not want it
  auto task = Make<RegisteredTask>();
  task->folder = folder;
  task->name = name;
  task->xml = std::move(xml);
  *out = task.Detach();
  return S_OK;
}

class Folder final : public Object<ITaskFolder> {
 public:
  std::wstring path = L"\\";

  HRESULT STDMETHODCALLTYPE get_Name(BSTR* out) override {
    return ToBstr(path == L"\\" ? path : path.substr(path.rfind(L'\\') + 1), out);
  }
  HRESULT STDMETHODCALLTYPE get_Path(BSTR* out) override { return ToBstr(path, out); }

  HRESULT STDMETHODCALLTYPE GetFolder(BSTR relative, ITaskFolder** out) override {
    if (HRESULT hr = Enter(L"ITaskFolder::GetFolder"); FAILED(hr)) return hr;
    return Open(path, relative, out);
  }

  HRESULT STDMETHODCALLTYPE CreateFolder(BSTR name, VARIANT sddl, ITaskFolder** out) override {
    if (HRESULT hr = Enter(L"ITaskFolder::CreateFolder"); FAILED(hr)) return hr;
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    const auto folder = store::ResolveFolder(path, Wide(FromBstr(name)));
    if (!folder || *folder == path || Classify(sddl) == Arg::kInvalid) return E_INVALIDARG;
    if (HRESULT hr = store::CreateFolder(*folder); FAILED(hr)) return hr;
    auto created = Make<Folder>();
    created->path = *folder;
    *out = created.Detach();
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetTask(BSTR taskPath, IRegisteredTask** out) override {
    if (HRESULT hr = Enter(L"ITaskFolder::GetTask"); FAILED(hr)) return hr;
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    const auto task = store::ResolveTask(path, Wide(FromBstr(taskPath)));
    if (!task) return E_INVALIDARG;
    auto xml = store::ReadTask(task->first, task->second);
    if (!xml) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    return HandRegistered(task->first, task->second, std::move(*xml), out);
  }

  HRESULT STDMETHODCALLTYPE DeleteTask(BSTR name, LONG) override {
    if (HRESULT hr = Enter(L"ITaskFolder::DeleteTask"); FAILED(hr)) return hr;
    const auto task = store::ResolveTask(path, Wide(FromBstr(name)));
    if (!task) return E_INVALIDARG;
    return store::DeleteTask(task->first, task->second);
  }

  // As Task Scheduler answers: a name or path relative to this folder (or absolute);
  // the root, or no subfolder named, is refused with E_ACCESSDENIED, a folder that
  // holds tasks or folders with ERROR_DIR_NOT_EMPTY, a missing one with
  // ERROR_FILE_NOT_FOUND. Every call is recorded for every process of the prefix.
  HRESULT STDMETHODCALLTYPE DeleteFolder(BSTR name, LONG) override {
    const std::wstring given = Wide(FromBstr(name));
    const auto folder = store::ResolveFolder(path, given);
    HRESULT hr = Enter(L"ITaskFolder::DeleteFolder");
    if (SUCCEEDED(hr)) {
      if (!folder) {
        hr = HRESULT_FROM_WIN32(ERROR_INVALID_NAME);
      } else if (*folder == L"\\" || *folder == path) {
        hr = E_ACCESSDENIED;
      } else {
        hr = store::DeleteFolder(*folder);
      }
    }
    store::RecordFolderDeletion(folder.value_or(given), hr);
    return hr;
  }

  HRESULT STDMETHODCALLTYPE RegisterTaskDefinition(BSTR taskPath, ITaskDefinition* definition, LONG flags,
                                                   VARIANT user, VARIANT password, TASK_LOGON_TYPE logonType,
                                                   VARIANT sddl, IRegisteredTask** out) override {
    const std::wstring given = Wide(FromBstr(taskPath));
    const auto task = store::ResolveTask(path, given);
    const HRESULT hr = Register(task, definition, flags, user, password, logonType, sddl, out);
    store::RecordRegistration(task ? store::JoinFolder(task->first, task->second) : given, hr);
    return hr;
  }

  HRESULT Register(const std::optional<std::pair<std::wstring, std::wstring>>& task, ITaskDefinition* definition,
                   LONG flags, VARIANT user, VARIANT password, TASK_LOGON_TYPE logonType, VARIANT sddl,
                   IRegisteredTask** out) {
    if (HRESULT hr = Enter(L"ITaskFolder::RegisterTaskDefinition"); FAILED(hr)) return hr;
    if (out != nullptr) *out = nullptr;
    if (!task || definition == nullptr) return E_INVALIDARG;
    ComPtr<Definition> own;
    if (FAILED(definition->QueryInterface(kDefinitionIdentity, own.put_void()))) return E_INVALIDARG;

    const Arg userArg = Classify(user), passwordArg = Classify(password), sddlArg = Classify(sddl);
    if (userArg == Arg::kInvalid || passwordArg == Arg::kInvalid || sddlArg == Arg::kInvalid) return E_INVALIDARG;
    const bool passwordGiven = passwordArg == Arg::kString && ::SysStringLen(V_BSTR(&password)) != 0;
    // A service account has no password; passwords are never kept.
    if (passwordGiven && logonType == TASK_LOGON_SERVICE_ACCOUNT) return E_INVALIDARG;

    kqd::TaskRecord record = own->Snapshot();
    if (userArg == Arg::kString && ::SysStringLen(V_BSTR(&user)) != 0) record.userId = FromBstr(V_BSTR(&user));
    record.logonType = logonType;
    if (sddlArg == Arg::kString) record.securityDescriptor = FromBstr(V_BSTR(&sddl));

    std::wstring xml = Wide(kqd::RenderTaskXml(record));
    if ((flags & TASK_VALIDATE_ONLY) == 0) {
      if (HRESULT hr = store::WriteTask(task->first, task->second, xml, flags); FAILED(hr)) return hr;
    }
    return HandRegistered(task->first, task->second, std::move(xml), out);
  }

  HRESULT STDMETHODCALLTYPE GetFolders(LONG, ITaskFolderCollection**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTasks(LONG, IRegisteredTaskCollection**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE RegisterTask(BSTR, BSTR, LONG, VARIANT, VARIANT, TASK_LOGON_TYPE, VARIANT,
                                         IRegisteredTask**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetSecurityDescriptor(LONG, BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetSecurityDescriptor(BSTR, LONG) override { return E_NOTIMPL; }

  // A missing folder answers as Task Scheduler does: the file is not found.
  static HRESULT Open(const std::wstring& base, BSTR relative, ITaskFolder** out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    const auto folder = store::ResolveFolder(base, Wide(FromBstr(relative)));
    if (!folder) return E_INVALIDARG;
    if (!store::FolderExists(*folder)) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    auto opened = Make<Folder>();
    opened->path = *folder;
    *out = opened.Detach();
    return S_OK;
  }
};

class Service final : public Object<ITaskService> {
 public:
  HRESULT STDMETHODCALLTYPE Connect(VARIANT server, VARIANT user, VARIANT domain, VARIANT password) override {
    if (HRESULT hr = Enter(L"ITaskService::Connect"); FAILED(hr)) return hr;
    if (Unreachable() == kNoConnect) return kNoConnectResult;
    for (const VARIANT* v : {&server, &user, &domain, &password}) {
      if (Classify(*v) == Arg::kInvalid) return E_INVALIDARG;
    }
    if (HRESULT hr = store::EnsureRoot(); FAILED(hr)) return hr;
    connected_ = true;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Connected(VARIANT_BOOL* out) override {
    if (out == nullptr) return E_POINTER;
    *out = connected_ ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetFolder(BSTR path, ITaskFolder** out) override {
    if (HRESULT hr = Enter(L"ITaskService::GetFolder"); FAILED(hr)) return hr;
    if (!connected_) return HRESULT_FROM_WIN32(ERROR_ONLY_IF_CONNECTED);
    return Folder::Open(L"\\", path, out);
  }
  HRESULT STDMETHODCALLTYPE NewTask(DWORD flags, ITaskDefinition** out) override {
    if (HRESULT hr = Enter(L"ITaskService::NewTask"); FAILED(hr)) return hr;
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (!connected_) return HRESULT_FROM_WIN32(ERROR_ONLY_IF_CONNECTED);
    if (flags != 0) return E_INVALIDARG;
    *out = Make<Definition>().Detach();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetRunningTasks(LONG, IRunningTaskCollection**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_TargetServer(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_ConnectedUser(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_ConnectedDomain(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_HighestVersion(DWORD*) override { return E_NOTIMPL; }

 private:
  std::atomic<bool> connected_{false};
};

class Factory final : public com::ClassFactory<Tag> {
 protected:
  HRESULT Create(REFIID iid, void** out) override {
    if (HRESULT hr = Enter(L"TaskScheduler::CreateInstance"); FAILED(hr)) return hr;
    if (Unreachable() == kNoClass) return kNoClassResult;
    return Make<Service>()->QueryInterface(iid, out);
  }
};

Factory g_factory;

}  // namespace

DWORD Unreachable() {
  kqd::win::UniqueHkey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSwitchKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.put()) != ERROR_SUCCESS) {
    return kReachable;
  }
  DWORD value = 0, type = 0, size = sizeof(value);
  if (::RegQueryValueExW(key.get(), kUnreachableValue, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
          ERROR_SUCCESS ||
      type != REG_DWORD) {
    return kReachable;
  }
  return value;
}

bool SetUnreachable(DWORD mode) {
  kqd::win::UniqueHkey key;
  if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSwitchKey, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr,
                        key.put(), nullptr) != ERROR_SUCCESS) {
    return false;
  }
  if (mode == kReachable) {
    const LSTATUS status = ::RegDeleteValueW(key.get(), kUnreachableValue);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
  }
  return ::RegSetValueExW(key.get(), kUnreachableValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&mode),
                          sizeof(mode)) == ERROR_SUCCESS;
}

IClassFactory* ClassFactory() { return &g_factory; }
long LiveObjects() { return com::Counts<Tag>::live.load(); }
bool ServerIdle() { return com::Counts<Tag>::Idle(); }

std::vector<std::wstring> CallLog() {
  std::lock_guard lock(g_logLock);
  return g_log;
}

void ClearCallLog() {
  std::lock_guard lock(g_logLock);
  g_log.clear();
}

void FailCall(const std::wstring& method, HRESULT hr) {
  std::lock_guard lock(g_logLock);
  g_failures[method] = hr;
}

void ClearFailures() {
  std::lock_guard lock(g_logLock);
  g_failures.clear();
}

}  // namespace kqdtb::taskschd
