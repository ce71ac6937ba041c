// Thread module: the locks are plain std::mutex underneath.
#include <zor-qel-rb-key/os_thread.h>

os_critical_section::os_critical_section(bool) {}
os_critical_section::~os_critical_section() = default;
void os_critical_section::lock() { mutex_.lock(); }
void os_critical_section::unlock() { mutex_.unlock(); }

os_condition_mutex::os_condition_mutex(bool) {}
os_condition_mutex::~os_condition_mutex() = default;
void os_condition_mutex::lock() { section_.lock(); }
void os_condition_mutex::unlock() { section_.unlock(); }
