#include "check/diagnosis.h"

#include <gtest/gtest.h>

namespace {

const char kRejectionLog[] =
    "[ERROR:0@0.004] global ./modules/dnn/src/onnx/onnx_importer.cpp (1018) handleNode DNN/ONNX: "
    "ERROR during processing node with 1 inputs and 1 outputs: [Foo]:(onnx_node!foo_7) from "
    "domain='ai.onnx'\n";

TEST(FirstUnsupportedNode, TakesTheNodeFromTheLibrarysRejectionLine) {
  EXPECT_EQ(firstUnsupportedNode(kRejectionLog), "[Foo]:(onnx_node!foo_7)");
  EXPECT_EQ(firstUnsupportedNode("x [Foo]:(bar) y"), "[Foo]:(bar)");
}

TEST(FirstUnsupportedNode, UsesTheLastBracketAndTheLastParenthesisOfTheWholeText) {
  EXPECT_EQ(firstUnsupportedNode("a [One]:(x)\nb [Two]:(y)\n"), "[Two]:(y)");
  // They may come from different lines.
  EXPECT_EQ(firstUnsupportedNode("a [One]:(x\nb) no bracket here\n"), "[One]:(x\nb)");
}

TEST(FirstUnsupportedNode, NamesNothingWithoutAnAcceptablePair) {
  EXPECT_EQ(firstUnsupportedNode(""), "");
  EXPECT_EQ(firstUnsupportedNode("no brackets at all"), "");
  EXPECT_EQ(firstUnsupportedNode("only an opening [ here"), "");
  EXPECT_EQ(firstUnsupportedNode("only a closing ) here"), "");
  EXPECT_EQ(firstUnsupportedNode("x (a) then [b"), "");  // ")" before the last "["
  EXPECT_EQ(firstUnsupportedNode("[Foo]:(bar)"), "");    // "[" opens the text
}

TEST(FirstUnsupportedNode, AParenthesisRightAfterTheBracketGivesTwoCharacters) {
  EXPECT_EQ(firstUnsupportedNode("x [)"), "[)");
}

TEST(IsUnknownFormat, NeedsTheWholePhraseAtTheStartInTheSameCase) {
  EXPECT_TRUE(isUnknownFormat("Cannot determine an origin framework of files: a.ONNX"));
  EXPECT_TRUE(isUnknownFormat("Cannot determine an origin framework"));
  EXPECT_FALSE(isUnknownFormat("Cannot determine an origin framewor"));
  EXPECT_FALSE(isUnknownFormat("cannot determine an origin framework of files"));
  EXPECT_FALSE(isUnknownFormat("> Cannot determine an origin framework of files"));
  EXPECT_FALSE(isUnknownFormat(""));
}

TEST(LoadFailureReason, CapturedOutputDecidesAloneWhenThereIsAny) {
  EXPECT_EQ(loadFailureReason(kRejectionLog, "any description"),
            "First unsupported node: [Foo]:(onnx_node!foo_7)");
  EXPECT_EQ(loadFailureReason("captured without a node",
                              "Cannot determine an origin framework of files: a"),
            "");
}

TEST(LoadFailureReason, WithNothingCapturedTheDescriptionSpeaks) {
  EXPECT_EQ(loadFailureReason("", "Cannot determine an origin framework of files: a.ONNX"),
            "Unsupported format (not an onnx file)");
  EXPECT_EQ(loadFailureReason("", "Failed to parse ONNX model: a.onnx"),
            "Failed to parse ONNX model: a.onnx");
  EXPECT_EQ(loadFailureReason("", "two\nlines"), "two\nlines");
  EXPECT_EQ(loadFailureReason("", ""), "");
}

}  // namespace
