// The service account's SID, as Windows derives it from the name (the
// values `sc showsid` prints).
#include <gtest/gtest.h>

#include "platform/ServiceAccount.h"

TEST(ServiceAccount, TheVirtualAccountsSidIsDerivedFromTheNameAsWindowsDoes) {
  namespace sa = platform::serviceaccount;
  EXPECT_EQ(sa::ServiceSid("TrustedInstaller"),
            "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464");
  EXPECT_EQ(sa::ServiceSid("TelvaneMain"), sa::ServiceSid("TELVANEMAIN"));
  EXPECT_EQ(sa::VirtualAccount("TelvaneMain"), "NT SERVICE\\TelvaneMain");
}
