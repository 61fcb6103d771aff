// log_lines.h - the numbers the CAN driver's log lines end in
// (",canbridge,NNNNN"). They are fixed: operators search the node log for
// them and tests pin them, so they never follow the lines of our own
// sources. The settings' lines sit in the settings table (config.cpp), the
// binding's in the binding table (binding.cpp).
#pragma once

namespace can_line {
enum Line : int {
    kNoGateway = 311,
    kUnsupportedImageSize = 389,
    kStandardRecordSize = 390,
    kExtendedRecordSize = 391,
    kFormatType = 394,
    kCancelInLoop = 520,
    kDisconnected = 527,
    kConnectedAgain = 530,
    kRxFifoFull = 565,
    kTxFifoFull = 636,
    kCancelAfterError = 694,
    kFinish = 705,
};
}  // namespace can_line
