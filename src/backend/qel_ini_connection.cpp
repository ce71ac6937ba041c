// The backend connections: the local INI connection opens its file at login, the remote one
// opens a file held by the remote service; both keep the store for the keys made on them.
#include "qel_ini_connection.h"

#include <chrono>
#include <set>

#include <zor-qel-rb-key/qel_error.h>
#include <zor-qel-rb-key/qel_log.h>
#include "backup_ini.h"
#include "clog_msg.h"
#include "etcd_ini.h"
#include "http_transport.h"
#include "message.h"
#include "os_time.h"
#include "os_tokenizer.h"
#include "qel_failures.h"
#include "qel_layer_stack.h"
#include "remote_ini.h"

QELConnectionBase::~QELConnectionBase() = default;

void QELConnectionBase::BeginTransaction() {}

void QELConnectionBase::Commit() {}

bool QELConnectionBase::IsTransactionStarted() const { return transactionStarted; }

void QELConnectionBase::DiscardChanges(std::vector<std::string>& changed) {
  changed.clear();
  transactionStarted = false;
}

void QELConnectionBase::Refresh(std::vector<std::string>& changed) { changed.clear(); }

void QELConnectionBase::WaitForChange(int, std::vector<std::string>& changed,
                                      const volatile std::sig_atomic_t*) {
  Refresh(changed);
}

int QELConnectionBase::GetChangeDescriptor() const { return -1; }

QELIniConnection::QELIniConnection() : store(nullptr) {}

QELIniConnection::QELIniConnection(const QELIniConnection& other)
    : QELConnectionBase(other), store(other.store), layers(other.layers) {}

QELIniConnection::~QELIniConnection() = default;

// Kept for 3.0 programs: see docs/compatibility.md.
QELStatus QELIniConnection::Login(const std::string& login_host, int, const std::string& login_user,
                                  const std::string& password) {
  try {
    if (QELLayerStack::IsStackHost(login_host)) {
      AdoptStack(login_host, login_user, password);
      return QELStatus();
    }
    Adopt(new BackupIni(login_host), login_user, login_host);
  } catch (const QELError& error) {
    return LoginFailure("QELIniConnection::Login", error, login_user, login_host);
  }
  return QELStatus();
}

void QELIniConnection::BeginTransaction() { transactionStarted = true; }

void QELIniConnection::Commit() {
  // Without a successful login there is nothing to write back.
  Ini* ini = store.Get();
  if (layers) {
    layers->FlushTop();
  } else if (ini != nullptr) {
    ini->FlushIniDataToFile("");
  }
  transactionStarted = false;
}

namespace {

// The keys a change of the image touched: a key whose values changed, and the parent of a key
// that appeared or went.
std::vector<std::string> ChangedKeys(const IniChanges& found) {
  std::set<std::string> keys(found.entries.begin(), found.entries.end());
  for (const std::string& group : found.groups) {
    keys.insert(group);
    const size_t slash = group.rfind('/');
    keys.insert(slash == std::string::npos ? std::string() : group.substr(0, slash));
  }
  return {keys.begin(), keys.end()};
}

}  // namespace

void QELIniConnection::DiscardChanges(std::vector<std::string>& changed) {
  changed.clear();
  if (layers) {
    layers->DiscardTopChanges(changed);
  } else {
    Ini* ini = store.Get();
    IniChanges found;
    if (ini != nullptr && ini->DiscardChanges(&found)) changed = ChangedKeys(found);
  }
  transactionStarted = false;
}

void QELIniConnection::Refresh(std::vector<std::string>& changed) {
  changed.clear();
  if (layers) {
    layers->Refresh(changed);
    return;
  }
  Ini* ini = store.Get();
  IniChanges found;
  if (ini == nullptr || !ini->Refresh(&found)) return;
  changed = ChangedKeys(found);
}

void QELIniConnection::WaitForChange(int timeout_ms, std::vector<std::string>& changed,
                                     const volatile std::sig_atomic_t* stop) {
  changed.clear();
  Ini* ini = store.Get();
  if (ini == nullptr) return;
  const RequestInterruption interruption(stop);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  try {
    // The watch starts before the first look, so a change between the two is not missed; a
    // store that polls looks only once its interval has passed, however often it is called.
    if (layers) {
      layers->Watch();
    } else {
      ini->ChangeDescriptor();
    }
    for (bool look = layers || ini->RefreshDue();;) {
      if (RequestInterruption::Requested()) return;
      if (look) {
        if (layers) {
          layers->Refresh(changed, /*due_only=*/true);
        } else {
          Refresh(changed);
        }
        if (!changed.empty()) return;
      }
      // Rounded up, so that a wait through all of it ends at the deadline, not just before.
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return;
      if (layers) {
        // A stack's wait ends within 100 ms so that its lower layers are looked at too.
        layers->WaitForChange(static_cast<int>(left.count()));
        look = true;
        continue;
      }
      // A wait that ended early without a sign (a member that could not be asked) looks too.
      const bool signalled = ini->WaitForChange(static_cast<int>(left.count()));
      look = signalled || std::chrono::steady_clock::now() < deadline;
    }
  } catch (const QELError&) {
    // A request cut short by the interruption is no failure of the store.
    if (!RequestInterruption::Requested()) throw;
    changed.clear();
  }
}

int QELIniConnection::GetChangeDescriptor() const {
  // The top layer's descriptor would miss the changes of the layers below it.
  if (layers && layers->Count() > 1) return -1;
  Ini* ini = store.Get();
  return ini != nullptr ? ini->ChangeDescriptor() : -1;
}

void QELIniConnection::Adopt(Ini* opened, const std::string& user_name,
                             const std::string& host_name) {
  store = QELIniHolder(opened);
  layers.reset();
  user = user_name;
  host = host_name;
}

void QELIniConnection::AdoptStack(const std::string& host_name, const std::string& user_name,
                                  const std::string& password) {
  auto opened = std::make_shared<QELLayerStack>(host_name, user_name, password);
  store = opened->At(opened->Count() - 1).store;
  opened->MakeTopKey(*this);
  layers = std::move(opened);
  user = user_name;
  host = host_name;
}

QELStatus QELIniConnection::LoginFailure(const char* function, const QELError& cause,
                                         const std::string& login_user,
                                         const std::string& login_host) {
  // Credentials a remote service rejected keep their own code; any other cause is 158.
  const int32_t code = cause.Code() == qel_failure::kCredentialsRejected
                           ? qel_failure::kCredentialsRejected
                           : qel_failure::kStoreNotOpened.code;
  std::string text = Message("")[qel_failure::kStoreNotOpened.message_id]
                     << login_user << zor::qel::MaskCredentials(login_host)
                     << os_date::today().to_string() << os_time::now().to_string();
  text += " [" + std::to_string(code) + "]" + " <" + cause.What() + ">";
  // The one record of a failed login; QELConnection::Login throws it on without another.
  // Kept for 3.0 programs: see docs/compatibility.md.
  CLogMsg(function, "ldap_key", kLogTrace) << kLogLoginFailure << text << flush;
  return QELStatus(code, text);
}

// Kept for 3.0 programs: see docs/compatibility.md.
QELStatus QELRemoteIniConnection::Login(const std::string& login_host, int,
                                        const std::string& login_user,
                                        const std::string& password) {
  // An etcd address names the cluster's members and the prefix as one whole; any other host
  // text is a WebDAV server with the file's path.
  const bool etcd = EtcdIni::IsEtcdAddress(login_host);
  std::string host_part = login_host;
  std::string second_part;
  if (!etcd) {
    os_tokenizer tokenizer;
    tokenizer.separators("/");
    const std::vector<std::string> tokens = tokenizer.tokenize(login_host);
    if (tokens.size() == 2) {
      host_part = tokens[0];
      second_part = tokens[1];
    }
  }
  const char* const function = "QELRemoteIniConnection::Login";
  try {
    if (QELLayerStack::IsStackHost(login_host)) {
      AdoptStack(login_host, login_user, password);
    } else if (etcd) {
      Adopt(new EtcdIni(login_host, login_user, password), login_user, host_part);
    } else {
      Adopt(new RemoteIni(host_part, second_part, login_user, password), login_user, host_part);
    }
  } catch (const QELError& error) {
    return LoginFailure(function, error, login_user, login_host);
  }
  return QELStatus();
}
