// The worker's side of the check: every call of the library happens here, in a process of its
// own, and what it finds goes to the parent as records (see channel.h), which the parent alone
// turns into the report. Records, in the order they may come:
//   'L'  the model loaded;  'E'  it loaded as an empty network;
//   'I'  the model's input shapes, one field each;
//   'X'  the output names are known and the test execution begins;
//   'O'  the outputs, a name and a shape per output ("" for an empty one), sent once the
//        network and its outputs have been released;
//   'F'  the check failed: the cause letter and its text (diagnosis.h).
// With an explanation asked for, after 'F':
//   'W'  after a failed load, the library's whole description;
//   'S'  after a failed execution, the layer that stopped it (library_log.h), or
//   'P'  the layer that probably did, or none;
//   'N', 'G'  the model's graph: its nodes, then whether it could be read (sendGraph in
//        worker.cpp);
//   'D'  after a load that named a rejected node, the diagnostics pass begins; then
//   'R'  each rejected node (DiagnosticsLog in library_log.h).
#pragma once

#include <opencv2/dnn.hpp>

#include <string>

#include "check/channel.h"

// Writes one record to the parent; false when the parent is gone.
using RecordSink = bool (*)(const Record& record);

// Loads the model, inspects its inputs, runs the test execution and releases everything,
// sending a record at each step; with `explain`, then what explains a failure.
void runCheckJob(const std::string& modelPath, const cv::dnn::MatShape& userShape, bool explain,
                 RecordSink send);

// The text form of a shape in a record: its dimensions separated by blanks.
std::string shapeField(const cv::dnn::MatShape& shape);
cv::dnn::MatShape shapeOfField(const std::string& field);
