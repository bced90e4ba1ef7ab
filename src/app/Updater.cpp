#include "app/Updater.h"

Updater::Updater(const char* url, const char* directory, UpdaterDisplayInterface& display_)
    : server_url(url ? url : ""), updater_directory(directory ? directory : ""), display(display_) {}

Updater::~Updater() = default;

void Updater::Set_UEIBytes_Load(bool use) { use_uei_bytes = use; }
