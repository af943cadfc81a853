#include "sources/common_event_sink.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "support/stdout_capture.h"
#include "win/com_ptr.h"
#include "win/unique_handle.h"

namespace {

using kqd::CCommonEventSink;
using kqd::win::ComPtr;
using kqd::win::UniqueHandleNull;

struct StatusCase {
  const char* name;
  LONG flags;
  HRESULT result;
  std::string printed;  // text mode: "\n" arrives as CRLF
  friend void PrintTo(const StatusCase& c, std::ostream* os) { *os << c.name; }
};

class SinkStatus : public testing::TestWithParam<StatusCase> {};

TEST_P(SinkStatus, PrintsItsLine) {
  const StatusCase& c = GetParam();
  auto sink = ComPtr<CCommonEventSink>::Attach(new CCommonEventSink(nullptr));
  std::string printed;
  HRESULT hr = E_FAIL;
  {
    kqdtest::StdoutCapture capture;
    ASSERT_TRUE(capture.active());
    hr = sink->SetStatus(c.flags, c.result, nullptr, nullptr);
    printed = capture.Text();
  }
  EXPECT_EQ(hr, WBEM_S_NO_ERROR);
  EXPECT_EQ(printed, c.printed);
}

INSTANTIATE_TEST_SUITE_P(
    Flags, SinkStatus,
    testing::Values(StatusCase{"CompleteCancelled", WBEM_STATUS_COMPLETE, static_cast<HRESULT>(WBEM_E_CALL_CANCELLED),
                               "Call complete. hResult = 0x80041032\r\n"},
                    StatusCase{"CompleteOk", WBEM_STATUS_COMPLETE, S_OK, "Call complete. hResult = 0x0\r\n"},
                    StatusCase{"Progress", WBEM_STATUS_PROGRESS, S_OK, "Call in progress.\r\n"},
                    StatusCase{"Requirements", WBEM_STATUS_REQUIREMENTS, S_OK, ""}),
    [](const testing::TestParamInfo<StatusCase>& info) { return info.param.name; });

TEST(CommonEventSink, Indicate_SignalsTheQueryEventEvenAfterTheOwnerClosedIt) {
  UniqueHandleNull event(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
  ASSERT_TRUE(event);
  auto sink = ComPtr<CCommonEventSink>::Attach(new CCommonEventSink(event.get()));
  EXPECT_EQ(sink->Indicate(0, nullptr), WBEM_S_NO_ERROR);
  EXPECT_EQ(::WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);

  // The sink keeps the event alive: a late delivery still lands in the same object.
  HANDLE other = nullptr;
  ASSERT_TRUE(::DuplicateHandle(::GetCurrentProcess(), event.get(), ::GetCurrentProcess(), &other, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
  event.reset();
  EXPECT_EQ(sink->Indicate(0, nullptr), WBEM_S_NO_ERROR);
  EXPECT_EQ(::WaitForSingleObject(other, 0), WAIT_OBJECT_0);
  ::CloseHandle(other);
}

TEST(CommonEventSink, QueryInterface_OnlyUnknownAndObjectSink) {
  auto sink = ComPtr<CCommonEventSink>::Attach(new CCommonEventSink(nullptr));
  ComPtr<IWbemObjectSink> asSink;
  ComPtr<IUnknown> asUnknown;
  EXPECT_EQ(sink.As(asSink), S_OK);
  EXPECT_EQ(sink.As(asUnknown), S_OK);
  EXPECT_EQ(static_cast<void*>(asSink.get()), static_cast<void*>(asUnknown.get()));

  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(sink->QueryInterface(__uuidof(IWbemServices), &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(sink->AddRef(), 4u) << "the creator's, the two above and this one";
  EXPECT_EQ(sink->Release(), 3u);
}

}  // namespace
