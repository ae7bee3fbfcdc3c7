// Entry point that starts device-change notification.
#include "driver/win/qor_api.h"
#include "driver/win/export_guard.h"
#include "driver/win/device_backend.h"
#include "driver/win/driver_state.h"
#include "driver/win/notification_thread.h"

QOR_API int32_t WINAPI QorInitEventNotification(HANDLE event) {
    return Guarded<int32_t>(0, [&]() -> int32_t {
        if (event == INVALID_HANDLE_VALUE) {
            return 0;
        }
        EnsureDeviceBackend();
        // One notification window per process: a second call only replaces the event.
        return StartNotificationThreadOnce(event, ChangeEvent::SetAlways) ==
                       NotificationStart::Failed
                   ? 0
                   : 1;
    });
}
