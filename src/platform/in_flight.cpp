#include "platform/in_flight.h"

namespace {
InFlightRecorder* current = nullptr;  // one thread; set only by RecordingInFlight
}  // namespace

InFlightRecorder* InFlight() { return current; }

RecordingInFlight::RecordingInFlight(InFlightRecorder& recorder) : before_(current) { current = &recorder; }
RecordingInFlight::~RecordingInFlight() { current = before_; }
