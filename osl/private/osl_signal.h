// The watched signals' state as the command runner sees it. Private to the layer: never
// installed.
#ifndef OSL_SIGNAL_H
#define OSL_SIGNAL_H

namespace osl_signal {

// Whether a signal watched as a stop signal has arrived and no osl_signal_wait has returned it
// yet. Async-signal-safe; any thread.
bool stop_pending();

}  // namespace osl_signal

#endif  // OSL_SIGNAL_H
