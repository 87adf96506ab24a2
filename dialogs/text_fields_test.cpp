#include "dialogs/text_fields.h"

#include <QFontMetrics>

#include "dialogs/testing/test_support.h"

namespace qxdlg {
namespace {

TEST(JoinFieldsWrappedTest, LinesBreakOnlyBetweenFields) {
  testing::EnsureApplication();
  const QFontMetrics metrics(SheetFont());
  const QStringList fields = {QString::fromUtf8("ＪＰＥＧ"), QString::fromUtf8("320 × 240 ピクセル"),
                              QString::fromUtf8("3,533 色"), QString::fromUtf8("18,361 バイト"),
                              QString::fromUtf8("（縮小表示）")};
  const QString oneLine = fields.join(QStringLiteral("  "));
  const int whole = metrics.horizontalAdvance(oneLine);
  const int firstTwo = metrics.horizontalAdvance(fields[0] + "  " + fields[1]);
  const struct {
    const char* what;
    int width;
    QString expected;
  } cases[] = {
      {"exactly wide enough", whole, oneLine},
      {"one pixel short: the last field goes down", whole - 1,
       QStringList(fields.mid(0, 4)).join("  ") + "\n" + fields[4]},
      {"room for two fields a line", firstTwo,
       fields[0] + "  " + fields[1] + "\n" + fields[2] + "  " + fields[3] + "\n" + fields[4]},
      {"narrower than any field: one field a line, none split", 1, fields.join("\n")},
  };
  for (const auto& c : cases) {
    const QString joined = JoinFieldsWrapped(fields, metrics, c.width);
    EXPECT_EQ(joined, c.expected) << c.what;
    for (const QString& line : joined.split('\n')) {
      EXPECT_TRUE(metrics.horizontalAdvance(line) <= c.width || !line.contains("  ")) << c.what;
    }
  }
  EXPECT_EQ(JoinFieldsWrapped({}, metrics, 100), QString());
}

}  // namespace
}  // namespace qxdlg
