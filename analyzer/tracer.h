// keltrace's analysis, all of it: include this to run an analysis or one of
// its phases. The phases live in files of their own, in the order a trace
// goes through them:
//   trace_analysis.h   the state of one analysis, shared by the phases
//   trace_header.h     the header and the embedded template
//   record_reader.h    the trace's records, parsed and checked
//   engines.h          the handle tracking engines: records to tables and findings
//   leak_report.h      what is still live at the end
//   analysis_driver.h  the driver that wires them and writes the report files
//   usage.h            --help and --version
#pragma once

#include "analysis_driver.h"
#include "engines.h"
#include "kel_version.h"
#include "leak_report.h"
#include "record_reader.h"
#include "trace_analysis.h"
#include "trace_header.h"
#include "usage.h"
