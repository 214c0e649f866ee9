// The clocks' entry points for the layer's own modules; private: never installed.
#ifndef OSL_CLOCK_H
#define OSL_CLOCK_H

namespace osl_clock {

// Exactly what a call of osl_get_ms whose reading is thrown away does, at the cost of one flag
// load when the clock already counts: starts the millisecond clock's count when nothing has read
// it since load or the last re-arm. The log calls it after every text it writes to a file.
void start_ms(void);

}  // namespace osl_clock

#endif  // OSL_CLOCK_H
