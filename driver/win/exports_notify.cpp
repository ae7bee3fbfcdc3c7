// Entry point that starts device-change notification.
#include "driver/win/qor_api.h"
#include "driver/win/driver_state.h"
#include "driver/win/notification_thread.h"

QOR_API int32_t WINAPI QorInitEventNotification(HANDLE event) {
    if (event == INVALID_HANDLE_VALUE) {
        return 0;
    }
    DriverState& state = Driver();
    state.deviceChangeEvent = event;
    // One notification window per process: a second call only replaces the event.
    if (state.notificationThreadStarted) {
        return 1;
    }
    if (!StartNotificationThread()) {
        return 0;
    }
    state.notificationThreadStarted = true;
    return 1;
}
