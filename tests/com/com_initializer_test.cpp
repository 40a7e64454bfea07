#include "com/com_initializer.h"

#include <gtest/gtest.h>

#include <string>

#include "support/com_thread.h"

namespace {

constexpr const char* kChangedModeMessage =
    "A previous call to CoInitializeEx specified a different concurrency model for the calling thread, or the thread "
    "that called CoInitializeEx currently belongs to the neutral threaded apartment.";

TEST(ComInitializer, OtherApartmentThrowsTheChangedModeErrorAndLeavesTheThreadAlone) {
  OnFreshThread([] {
    ASSERT_EQ(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    try {
      ComInitializer com(COINIT_MULTITHREADED);
      ADD_FAILURE() << "no exception";
    } catch (const init_exception& error) {
      EXPECT_STREQ(error.what(), kChangedModeMessage);
      EXPECT_EQ(error.Result(), RPC_E_CHANGED_MODE);
    }
    {
      ComInitializer quiet(COINIT_MULTITHREADED, false, false);
      EXPECT_FALSE(quiet.Initialised());
      EXPECT_EQ(quiet.Result(), RPC_E_CHANGED_MODE);
    }
    // Neither object gave back an initialisation it did not make.
    EXPECT_EQ(ApartmentOfThisThread(), APTTYPE_STA);
    ::CoUninitialize();
    EXPECT_EQ(ApartmentOfThisThread(), kNoApartment);
  });
}

TEST(ComInitializer, AlreadyInitialisedThreadIsBalancedByOneUninitialize) {
  OnFreshThread([] {
    ASSERT_EQ(::CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    {
      ComInitializer com(COINIT_MULTITHREADED);
      EXPECT_EQ(com.Result(), S_FALSE);
      EXPECT_TRUE(com.Initialised());
    }
    EXPECT_EQ(ApartmentOfThisThread(), APTTYPE_MTA);  // not given back twice
    ::CoUninitialize();
    EXPECT_EQ(ApartmentOfThisThread(), kNoApartment);  // not kept either
  });
}

TEST(ComInitializer, EveryInitialisationTheObjectMakesIsGivenBack) {
  struct Case {
    const char* name;
    DWORD first;
    DWORD second;
    HRESULT secondResult;
  };
  const Case cases[] = {
      // The same model again makes no call: a second one would answer S_FALSE.
      {"same model", COINIT_MULTITHREADED, COINIT_MULTITHREADED, S_OK},
      {"same apartment, other flags", COINIT_MULTITHREADED, COINIT_MULTITHREADED | COINIT_DISABLE_OLE1DDE, S_FALSE},
      {"other apartment", COINIT_MULTITHREADED, COINIT_APARTMENTTHREADED, RPC_E_CHANGED_MODE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OnFreshThread([&c] {
      {
        ComInitializer com(c.first);
        com.Initialize(c.second, false);
        EXPECT_EQ(com.Result(), c.secondResult);
        EXPECT_TRUE(com.Initialised());
        EXPECT_EQ(ApartmentOfThisThread(), APTTYPE_MTA);
      }
      EXPECT_EQ(ApartmentOfThisThread(), kNoApartment);
    });
  }
}

TEST(ComInitializer, DeferredObjectInitialisesOnlyWhenAsked) {
  OnFreshThread([] {
    ComInitializer com(COINIT_APARTMENTTHREADED, true);
    EXPECT_FALSE(com.Initialised());
    EXPECT_EQ(ApartmentOfThisThread(), kNoApartment);
    com.Initialize(COINIT_APARTMENTTHREADED);
    EXPECT_EQ(com.Result(), S_OK);
    EXPECT_EQ(ApartmentOfThisThread(), APTTYPE_STA);
    com.Uninitialize();
    EXPECT_EQ(ApartmentOfThisThread(), kNoApartment);
  });
}

}  // namespace
