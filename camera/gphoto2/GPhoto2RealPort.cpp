// The thin interface (GPhoto2Port.h) over the real libgphoto2, and the factory of the
// libgphoto2 camera SDK. Without libgphoto2 in the build there is no real port.
#include "GPhoto2CameraSdk.h"
#include "GPhoto2Port.h"

#include "SNP_Log.h"

#ifdef HAVE_GPHOTO2

#include <gphoto2/gphoto2.h>
#include <gphoto2/gphoto2-version.h>

#include <cstdlib>
#include <cstring>

static_assert(GP_ERROR_IO_USB_FIND == kGPErrorIOUsbFind && GP_ERROR_CAMERA_BUSY == kGPErrorCameraBusy &&
                  GP_ERROR_CANCEL == kGPErrorCancel && GP_ERROR_NO_SPACE == kGPErrorNoSpace,
              "result codes are libgphoto2's");
static_assert(static_cast<int>(GPEventType::FileAdded) == GP_EVENT_FILE_ADDED &&
                  static_cast<int>(GPEventType::FileChanged) == GP_EVENT_FILE_CHANGED,
              "event types are libgphoto2's");
static_assert(static_cast<int>(GPWidgetType::Date) == GP_WIDGET_DATE &&
                  static_cast<int>(GPWidgetType::Radio) == GP_WIDGET_RADIO,
              "widget types are libgphoto2's");

namespace {

void logError(GPContext*, const char* text, void*)
{
    SNP_Log::debugf("libgphoto2: %s", text);
}

// Progress and cancel of the transfer in hand (one at a time: the worker serialises).
struct Transfer {
    const GPProgress* progress = nullptr;
    float target = 0;
    bool cancel = false;
};

unsigned int progressStart(GPContext*, float target, const char*, void* data)
{
    static_cast<Transfer*>(data)->target = target;
    return 1;
}

void progressUpdate(GPContext*, unsigned int, float current, void* data)
{
    auto* t = static_cast<Transfer*>(data);
    if (t->progress && *t->progress && t->target > 0) {
        const uint64_t total = static_cast<uint64_t>(t->target);
        if ((*t->progress)(static_cast<uint64_t>(current), total))
            t->cancel = true;
    }
}

void progressStop(GPContext*, unsigned int, void*) {}

GPContextFeedback cancelAsked(GPContext*, void* data)
{
    return static_cast<Transfer*>(data)->cancel ? GP_CONTEXT_FEEDBACK_CANCEL : GP_CONTEXT_FEEDBACK_OK;
}

class RealDevice : public GPhoto2Device {
public:
    RealDevice(Camera* camera, GPContext* context) : _camera(camera), _context(context)
    {
        gp_context_set_progress_funcs(_context, progressStart, progressUpdate, progressStop, &_transfer);
        gp_context_set_cancel_func(_context, cancelAsked, &_transfer);
    }
    ~RealDevice() override
    {
        gp_camera_exit(_camera, _context);
        gp_camera_unref(_camera);
        gp_context_unref(_context);
    }

    int getWidget(const std::string& name, GPWidget& out) override
    {
        CameraWidget* widget = nullptr;
        int r = gp_camera_get_single_config(_camera, name.c_str(), &widget, _context);
        if (r < GP_OK)
            return r;
        r = read(widget, out);
        gp_widget_free(widget);
        return r;
    }

    int setWidget(const GPWidget& value) override
    {
        CameraWidget* widget = nullptr;
        int r = gp_camera_get_single_config(_camera, value.name.c_str(), &widget, _context);
        if (r < GP_OK)
            return r;
        CameraWidgetType type;
        gp_widget_get_type(widget, &type);
        switch (type) {
        case GP_WIDGET_TEXT:
        case GP_WIDGET_RADIO:
        case GP_WIDGET_MENU:
            r = gp_widget_set_value(widget, value.text.c_str());
            break;
        case GP_WIDGET_RANGE: {
            float f = value.number;
            r = gp_widget_set_value(widget, &f);
            break;
        }
        case GP_WIDGET_TOGGLE:
        case GP_WIDGET_DATE: {
            int i = value.integer;
            r = gp_widget_set_value(widget, &i);
            break;
        }
        default:
            r = GP_ERROR_NOT_SUPPORTED;
        }
        if (r >= GP_OK)
            r = gp_camera_set_single_config(_camera, value.name.c_str(), widget, _context);
        gp_widget_free(widget);
        return r;
    }

    int triggerCapture() override { return gp_camera_trigger_capture(_camera, _context); }

    int waitForEvent(int timeoutMs, GPEvent& out) override
    {
        CameraEventType type = GP_EVENT_TIMEOUT;
        void* data = nullptr;
        int r = gp_camera_wait_for_event(_camera, timeoutMs, &type, &data, _context);
        if (r < GP_OK) {
            std::free(data);
            return r;
        }
        out = GPEvent{};
        out.type = static_cast<GPEventType>(type);
        switch (type) {
        case GP_EVENT_FILE_ADDED:
        case GP_EVENT_FOLDER_ADDED:
        case GP_EVENT_FILE_CHANGED:
            if (data) {
                auto* path = static_cast<CameraFilePath*>(data);
                out.folder = path->folder;
                out.name = path->name;
            }
            break;
        case GP_EVENT_UNKNOWN:
            if (data)
                out.text = static_cast<const char*>(data);
            break;
        default:
            break;
        }
        std::free(data);
        return r;
    }

    int fileSize(const std::string& folder, const std::string& name, uint64_t& size) override
    {
        CameraFileInfo info;
        std::memset(&info, 0, sizeof info);
        int r = gp_camera_file_get_info(_camera, folder.c_str(), name.c_str(), &info, _context);
        size = (r >= GP_OK && (info.file.fields & GP_FILE_INFO_SIZE)) ? info.file.size : 0;
        return r;
    }

    int fileGet(const std::string& folder, const std::string& name, std::vector<uint8_t>& data,
                const GPProgress& progress) override
    {
        CameraFile* file = nullptr;
        int r = gp_file_new(&file);
        if (r < GP_OK)
            return r;
        _transfer = Transfer{&progress, 0, false};
        r = gp_camera_file_get(_camera, folder.c_str(), name.c_str(), GP_FILE_TYPE_NORMAL, file, _context);
        _transfer = Transfer{};
        if (r >= GP_OK)
            r = copy(file, data);
        gp_file_unref(file);
        return r;
    }

    int fileDelete(const std::string& folder, const std::string& name) override
    {
        return gp_camera_file_delete(_camera, folder.c_str(), name.c_str(), _context);
    }

    int capturePreview(std::vector<uint8_t>& data) override
    {
        CameraFile* file = nullptr;
        int r = gp_file_new(&file);
        if (r < GP_OK)
            return r;
        r = gp_camera_capture_preview(_camera, file, _context);
        if (r >= GP_OK)
            r = copy(file, data);
        gp_file_unref(file);
        return r;
    }

private:
    static int copy(CameraFile* file, std::vector<uint8_t>& data)
    {
        const char* bytes = nullptr;
        unsigned long size = 0;
        int r = gp_file_get_data_and_size(file, &bytes, &size);
        if (r < GP_OK)
            return r;
        data.assign(reinterpret_cast<const uint8_t*>(bytes), reinterpret_cast<const uint8_t*>(bytes) + size);
        return GP_OK;
    }

    static int read(CameraWidget* widget, GPWidget& out)
    {
        out = GPWidget{};
        const char* name = nullptr;
        gp_widget_get_name(widget, &name);
        out.name = name ? name : "";
        CameraWidgetType type;
        gp_widget_get_type(widget, &type);
        out.type = static_cast<GPWidgetType>(type);
        int readOnly = 0;
        gp_widget_get_readonly(widget, &readOnly);
        out.readOnly = readOnly != 0;
        switch (type) {
        case GP_WIDGET_TEXT:
        case GP_WIDGET_RADIO:
        case GP_WIDGET_MENU: {
            const char* text = nullptr;
            if (gp_widget_get_value(widget, &text) >= GP_OK && text)
                out.text = text;
            if (type != GP_WIDGET_TEXT) {
                const int n = gp_widget_count_choices(widget);
                for (int i = 0; i < n; ++i) {
                    const char* choice = nullptr;
                    if (gp_widget_get_choice(widget, i, &choice) >= GP_OK && choice)
                        out.choices.emplace_back(choice);
                }
            }
            break;
        }
        case GP_WIDGET_RANGE:
            gp_widget_get_value(widget, &out.number);
            gp_widget_get_range(widget, &out.low, &out.high, &out.step);
            break;
        case GP_WIDGET_TOGGLE:
        case GP_WIDGET_DATE:
            gp_widget_get_value(widget, &out.integer);
            break;
        default:
            return GP_ERROR_NOT_SUPPORTED;
        }
        return GP_OK;
    }

    Camera* _camera;
    GPContext* _context;
    Transfer _transfer;
};

class RealPort : public GPhoto2Port {
public:
    RealPort() : _context(gp_context_new())
    {
        gp_context_set_error_func(_context, logError, nullptr);
        gp_abilities_list_new(&_abilities);
        int r = gp_abilities_list_load(_abilities, _context);
        if (r < GP_OK)
            SNP_Log::debugf("gphoto2: camera drivers could not be loaded: %d (%s)", r, gp_result_as_string(r));
        gp_port_info_list_new(&_ports);
        r = gp_port_info_list_load(_ports);
        if (r < GP_OK)
            SNP_Log::debugf("gphoto2: port drivers could not be loaded: %d (%s)", r, gp_port_result_as_string(r));
    }
    ~RealPort() override
    {
        gp_port_info_list_free(_ports);
        gp_abilities_list_free(_abilities);
        gp_context_unref(_context);
    }

    int autodetect(std::vector<GPDetected>& out) override
    {
        out.clear();
        CameraList* list = nullptr;
        int r = gp_list_new(&list);
        if (r < GP_OK)
            return r;
        r = gp_camera_autodetect(list, _context);
        if (r >= GP_OK) {
            const int n = gp_list_count(list);
            for (int i = 0; i < n; ++i) {
                const char* model = nullptr;
                const char* path = nullptr;
                gp_list_get_name(list, i, &model);
                gp_list_get_value(list, i, &path);
                if (model && path)
                    out.push_back(GPDetected{model, path});
            }
        }
        gp_list_free(list);
        return r;
    }

    int open(const GPDetected& detected, std::unique_ptr<GPhoto2Device>& out) override
    {
        int model = gp_abilities_list_lookup_model(_abilities, detected.model.c_str());
        if (model < GP_OK)
            return model;
        CameraAbilities abilities;
        int r = gp_abilities_list_get_abilities(_abilities, model, &abilities);
        if (r < GP_OK)
            return r;
        int index = gp_port_info_list_lookup_path(_ports, detected.port.c_str());
        if (index < GP_OK)
            return index;
        GPPortInfo info;
        r = gp_port_info_list_get_info(_ports, index, &info);
        if (r < GP_OK)
            return r;
        Camera* camera = nullptr;
        r = gp_camera_new(&camera);
        if (r < GP_OK)
            return r;
        GPContext* context = gp_context_new();
        gp_context_set_error_func(context, logError, nullptr);
        r = gp_camera_set_abilities(camera, abilities);
        if (r >= GP_OK)
            r = gp_camera_set_port_info(camera, info);
        if (r >= GP_OK)
            r = gp_camera_init(camera, context);
        if (r < GP_OK) {
            gp_camera_unref(camera);
            gp_context_unref(context);
            return r;
        }
        out = std::make_unique<RealDevice>(camera, context);
        return GP_OK;
    }

private:
    GPContext* _context;
    CameraAbilitiesList* _abilities = nullptr;
    GPPortInfoList* _ports = nullptr;
};

}  // namespace

std::unique_ptr<GPhoto2Port> GPhoto2MakeRealPort()
{
    return std::make_unique<RealPort>();
}

std::shared_ptr<EdsSdk> EdsCreateGPhoto2Sdk()
{
    SNP_Log::debugf("camera backend: libgphoto2 %s", *gp_library_version(GP_VERSION_SHORT));
    return std::make_shared<GPhoto2CameraSdk>(GPhoto2MakeRealPort());
}

#else

std::unique_ptr<GPhoto2Port> GPhoto2MakeRealPort()
{
    return nullptr;
}

#endif
