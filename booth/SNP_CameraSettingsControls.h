// The operator panel's camera settings controls: one control per setting in the interface
// file, found by its integer "tag" property (the setting's property identifier), filled from
// the current camera's property notifications, kept in step with the values the camera
// allows, and written back when the operator picks a value; the exposure-mode rule for the
// aperture and shutter-speed controls; the camera clock picker that runs on with the
// camera's skew; the beep of a refused setting. It owns the clock's timer and skew and the
// beep count; the controls themselves belong to the controller's widget tree, which it
// searches. Part of SNP_OperatorPanel. Main thread only.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QVariant>
#include <QVariantMap>

#include <cstdint>
#include <optional>

class AppController;
class QDateTime;
class QDateTimeEdit;
class QTimer;
class QWidget;
struct SNP_Notification;

class SNP_CameraSettingsControls : public QObject {
public:
    // controller: the widget tree searched for the controls and the current camera's owner
    // (not owned; it outlives this object).
    explicit SNP_CameraSettingsControls(AppController& controller);

    // Connects the setting controls (menus, editable fields, the clock picker) to the writes.
    void connectControls();

    // The control carrying the tag: the widget tree's own search, then the walk that also
    // looks into every page of a tab widget.
    QWidget* viewWithTag(int32_t tag) const;
    QWidget* viewWithTag(int32_t tag, QWidget* view) const;

    // Refreshes every setting control from the current camera's allowed values.
    void updateCameraProperties();
    // Refills a control's choices from a supported-values table (none: empties it).
    void updateControlWithTagWithValues(int32_t tag, const std::optional<QVariantMap>& values);
    // Shows one value (a display text, a number or a date) in the control with the tag.
    void updateControlWithTagWithValue(int32_t tag, const QVariant& value);
    void setEnabledForAEMode(const QVariant& value);

    // The camera's notifications of its allowed values and of one value.
    void propertiesChanged(const SNP_Notification& notification);
    void propertyChanged(const SNP_Notification& notification);

    void setCameraClockToCurrent();
    void setCameraProperty(QObject* sender);
    // The clock timer's tick: the date picker it carries shows now plus the skew.
    void animateDatePicker(QTimer* timer);
    // Stops the running clock display (the camera it showed is gone).
    void stopCameraClock();

    // The system beep of a refused setting; counted for tests.
    void beep();
    int beepCount() const { return _beepCount; }

private:
    // Starts the clock display for the picker from the camera's date.
    void runCameraClock(QDateTimeEdit* picker, const QDateTime& date);

    AppController& _controller;
    QTimer* _cameraClockTimer = nullptr;    // a child of the controller
    double _cameraClockSkew = 0.0;          // seconds the camera's clock is ahead
    int _beepCount = 0;
    QElapsedTimer _cameraClockEdited;       // since the operator last changed the clock picker
};
