// Every user-defaults key of the booth and the mailer, in one place: both programs read the
// same store (SNP_Preferences), so a key is spelt once and shared. Plain constants, any thread.
#pragma once

// Working folders (the booth writes them; the mailer empties the upload folder).
inline constexpr char PrefKeyCameraScratchFolder[] = "scratchFolder";
inline constexpr char PrefKeyMainImagesFolder[] = "mainImagesFolder";
inline constexpr char PrefKeyForUploadFolder[] = "forUploadFolder";
inline constexpr char PrefKeyResourceFolder[] = "resourceFolder"; // the operator's own resources

// The visitor's screens and the kiosk.
inline constexpr char PrefKeyForTouchScreenCountValue[] = "touchScreenCountValue";
inline constexpr char PrefKeyKeyboardIdleSeconds[] = "keyboardIdleSeconds";
inline constexpr char PrefKeyTouchScreenOutput[] = "touchScreenOutput";
inline constexpr char PrefKeyLiveScreenOutput[] = "liveScreenOutput";

// Staff, the camera and the booth's health.
inline constexpr char PrefKeyOperatorPin[] = "operatorPin";
inline constexpr char PrefKeyOperatorIdleSeconds[] = "operatorIdleSeconds";
inline constexpr char PrefKeyCameraBackend[] = "cameraBackend";
inline constexpr char PrefKeyLowSpaceMegabytes[] = "lowSpaceMegabytes";
inline constexpr char PrefKeyUploaderGroup[] = "uploaderGroup";

// The mailer.
inline constexpr char PrefKeyMailSmtpUrl[] = "mailSmtpUrl";
inline constexpr char PrefKeyMailUser[] = "mailUser";
inline constexpr char PrefKeyMailPasswordFile[] = "mailPasswordFile";
inline constexpr char PrefKeyMailFrom[] = "mailFrom";
inline constexpr char PrefKeyMailSubject[] = "mailSubject";
inline constexpr char PrefKeyMailBodyFile[] = "mailBodyFile";
inline constexpr char PrefKeyMailPerMinute[] = "mailPerMinute";
inline constexpr char PrefKeyMailSentFolder[] = "mailSentFolder";
inline constexpr char PrefKeyMailFailedFolder[] = "mailFailedFolder";
inline constexpr char PrefKeyMailAttach[] = "mailAttach";
inline constexpr char PrefKeyMailPictureMaxSide[] = "mailPictureMaxSide";
