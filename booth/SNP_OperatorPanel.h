// The operator panel (the Operator tab of the interface file): the camera menu, which
// follows the camera registry and tells the controller which camera the operator chose; the
// progress bar of a picture's download; the operator's camera commands (shutter, lens drive,
// zoom) and the log-file button; the health and mail status lines; the simulated camera's
// mark on the panel; and, through SNP_CameraSettingsControls, the camera settings controls.
// It owns its outlets (the widgets themselves belong to the controller's widget tree) and
// wires the panel's buttons to the controller's operations. The current camera stays the
// controller's. Main thread only.
#pragma once

#include "SNP_BoothHealth.h"
#include "SNP_CameraSettingsControls.h"

#include <QList>
#include <QObject>

#include <memory>

class AppController;
class QComboBox;
class QProgressBar;
class QString;
class SNP_CanonCamera;

class SNP_OperatorPanel : public QObject {
public:
    // Finds the panel's widgets in the controller's widget tree (its interface file loaded).
    // The controller is not owned; it outlives the panel.
    explicit SNP_OperatorPanel(AppController& controller);

    // Connects the panel's widgets to their actions.
    void connectControls();
    // Before the first camera: the progress bar's range and an empty camera menu.
    void showNoCameraYet();

    // ---- the camera menu ----
    void updateCameraPopupWithCameras(const QList<std::shared_ptr<SNP_CanonCamera>>& cameras);
    // The camera of the menu's current item (none for "No Cameras available").
    std::shared_ptr<SNP_CanonCamera> chosenCamera() const;

    // ---- the progress bar ----
    void showProgress(int percent);
    void clearProgressIndicator();

    // ---- operator commands, to the current camera ----
    void pressShutterFull();
    void pressShutterHalf();
    void releaseShutter();
    // The sender's tag is the zoom factor, or the lens drive's step.
    void liveViewZoom(QObject* sender);
    void liveViewFocus(QObject* sender);
    void openLogFile();

    // ---- status lines ----
    // The health's parts, each on a line ("PROBLEM: " before a wrong one), the mail's apart.
    void showHealth(const SNP_BoothHealth::State& state);
    void showSimulatedCameraMark();

    SNP_CameraSettingsControls& settings() { return _settings; }

private:
    // Logs the line and sends the shutter command to the current camera, if any.
    void runShutterCommand(const QString& line, void (SNP_CanonCamera::*command)());

    AppController& _controller;
    QComboBox* _camerasButton = nullptr;
    QProgressBar* _progress = nullptr;
    SNP_CameraSettingsControls _settings;
};
