// The pipe to QOR APP, every reply within one deadline.
#pragma once
#include "twain_source/win/source_session.h"

// Busy: QOR APP runs and its pipe serves another client.
enum class ChannelResult { Open, Missing, Busy, Impostor, Broken };
// Lending: QOR APP lends images and is told when the program has one. Taking: a QOR APP of the
// earlier protocol, whose images leave its store when fetched.
enum class AppProtocol { Lending, Taking };
// Learns QOR APP's protocol and sends an owed confirmation first. busyWaitMs: how long a transfer
// waits for a busy pipe.
ChannelResult OpenAppChannel(DWORD busyWaitMs = 0);
void CloseAppChannel();
bool AppChannelOpen();
AppProtocol AppChannelProtocol();
// The images QOR APP holds for this session (its passed-over ones left out); sets
// nextImageSize and announcedImageId.
int CheckPendingImages();
// The oldest image QOR APP holds for this session into imageData: lent, or taken from a QOR
// APP of the earlier protocol (then kept in the Images folder until delivered).
int LendImage();
enum class ConfirmResult { Removed, NotInStore, Unreachable };
// Tells QOR APP that the program has the lent image.
ConfirmResult ConfirmLentImage(const qor::twain::LentImageKey& key);
ConfirmResult ConfirmImage(const qor::twain::LentImageKey& key);  // on the open pipe
void FreeImageBuffer();
