#include <Python.h>

#include <gtest/gtest.h>

#include <thread>

#include "bridge/callables.h"
#include "bridge/host_state.h"
#include "embedded_python.h"

namespace qv::bridge {
namespace {

using qv::testing::mainObject;
using qv::testing::pythonRepr;
using qv::testing::pythonTrue;
using qv::testing::runPython;

void handOverOnNativeThread(const char* text) {
  std::thread thread([text] { handOverText(text); });
  thread.join();
}

// The host's print is found through __main__.__builtins__, which is the builtins module in a
// script's __main__ but may be the module's dict. These tests swap print for a recorder to see
// where texts go; the recorder replaced after the first text proves the look-up happens once.
class TextProcessorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TEST_forgetTextProcessor();
    runPython(
        "import builtins\n"
        "printed, later, seen = [], [], []\n"
        "real_print = builtins.print\n"
        "def seen_text(text): seen.append(text)\n");
  }
  void TearDown() override {
    runPython("builtins.print = real_print\nimport __main__\n__main__.__builtins__ = builtins\n");
    TEST_forgetTextProcessor();
  }

  void expectTextsWentTo() {
    handOverOnNativeThread("first");
    runPython("builtins.print = lambda *args: later.append(args)");
    handOverOnNativeThread("second");
    EXPECT_TRUE(pythonTrue("printed == [('first',), ('second',)] and later == []"))
        << pythonRepr("(printed, later)");
    ASSERT_EQ(setTextProcessor(mainObject("seen_text")), 0);
    handOverOnNativeThread("third");
    EXPECT_TRUE(pythonTrue("seen == ['third'] and len(printed) == 2")) << pythonRepr("(printed, seen)");
  }
};

TEST_F(TextProcessorTest, WithoutProcessorTextGoesToPrintFoundOnceThenToTheProcessorSet) {
  runPython("builtins.print = lambda *args: printed.append(args)");
  expectTextsWentTo();
}

TEST_F(TextProcessorTest, BuiltinsGivenAsADictionaryAlsoFindPrint) {
  runPython(
      "import __main__\n"
      "namespace = dict(vars(builtins))\n"
      "namespace['print'] = lambda *args: printed.append(args)\n"
      "__main__.__builtins__ = namespace\n");
  expectTextsWentTo();
}

TEST_F(TextProcessorTest, AProcessorThatRaisesIsReportedAndTheNextTextStillArrives) {
  runPython(
      "def fussy(text):\n"
      "    if text == 'bad': raise RuntimeError('processor failed')\n"
      "    seen.append(text)\n");
  ASSERT_EQ(setTextProcessor(mainObject("fussy")), 0);
  handOverOnNativeThread("bad");
  handOverOnNativeThread("good");
  EXPECT_TRUE(pythonTrue("seen == ['good']")) << pythonRepr("seen");
}

}  // namespace
}  // namespace qv::bridge
