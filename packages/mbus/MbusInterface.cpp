// MbusInterface: one M-Bus line (a serial port behind a level converter, or
// a transparent serial-to-Ethernet converter reached over TCP), shared by
// every M-Bus meter on it.
//
// CONFIGS: see MbusSettings.h (and docs/MbusMeter.md). Configure refuses
// unusable settings with a log line saying why; Open makes the line's link
// (MbusLink on a SerialLine or a TcpLine) and opens it. Whatever Open gave,
// a request that finds the line closed opens it again first, so a lost
// converter or an unplugged adapter comes back without restarting the
// service. One log line says when the line starts failing and one when it
// works again, with the number of requests that failed meanwhile.
//
// Exchange (slot 0) serves the requests of MbusProtocol.h. Requests get the
// line one at a time, in arrival order (fb::BusQueue); what one read costs
// at most is MbusLink.h's bound.
//
// Threads: Exchange is called by the sampling threads of the meters and by
// the service's online thread at once; Configure, Open and Close by the
// service's load thread before and after them. Everything that touches the
// link happens while holding the line's turn, the link's event function
// included (it runs inside the link's calls).
#include <atomic>
#include <cstring>
#include <memory>
#include <string>

#include "packages/common/PackageText.h"
#include "packages/fieldbus/BusQueue.h"
#include "packages/fieldbus/ConfigText.h"
#include "packages/fieldbus/SerialLine.h"
#include "packages/fieldbus/SystemError.h"
#include "packages/fieldbus/TcpLine.h"
#include "packages/mbus/MbusLink.h"
#include "packages/mbus/MbusProtocol.h"
#include "packages/mbus/MbusSettings.h"
#include "plugins/TelvaneSdk.h"

namespace {

using mbus::Status;

class MbusInterface : public KxInterface {
 public:
  explicit MbusInterface(KxPackageLog* log) : log_(log) {}
  ~MbusInterface() override = default;

  int Exchange(const void* request, int32_t requestSize, void* reply, int32_t replyCapacity) override {
    if (request == nullptr || requestSize != static_cast<int32_t>(sizeof(mbus::Request)) || reply == nullptr)
      return -1;
    mbus::Request req;
    std::memcpy(&req, request, sizeof req);
    if (req.magic != mbus::kRequestMagic) return -1;
    if (req.kind == mbus::RequestKind::Settings) {
      if (replyCapacity < static_cast<int32_t>(sizeof(mbus::SettingsReply))) return -1;
      mbus::SettingsReply answer;
      answer.periodS = settings_.periodS;
      answer.timeoutMs = settings_.timeoutMs;
      answer.attempts = 1 + settings_.retries;
      answer.baud = settings_.format.baud;
      answer.tcp = settings_.mode == mbus::MbusSettings::Mode::Tcp ? 1 : 0;
      mbus::CopyText(answer.line, configured_ ? settings_.LineId() : "");
      answer.lineAnswers = lineAnswers_.load();
      std::memcpy(reply, &answer, sizeof answer);
      return sizeof answer;
    }
    if (req.kind != mbus::RequestKind::Read ||
        replyCapacity < static_cast<int32_t>(sizeof(mbus::ReadReply)) ||
        (req.primary != mbus::kBySecondary &&
         (req.primary < 0 || req.primary > mbus::MbusFrame::kMaxPrimary)))
      return -1;
    auto answer = std::make_unique<mbus::ReadReply>();
    Read(req, *answer);
    std::memcpy(reply, answer.get(), sizeof *answer);
    return sizeof *answer;
  }

  bool Configure(const uint8_t* bytes, int32_t count) override {
    const std::string text = fb::ConfigBytes(bytes, count);
    std::string error;
    mbus::MbusSettings parsed;
    if (!mbus::ParseMbusSettings(text, parsed, error)) {
      Log("configuração inválida: " + error);
      return false;
    }
    settings_ = parsed;
    configured_ = true;
    Log(settings_.Describe() + ", timeout " + std::to_string(settings_.timeoutMs) + " ms, " +
        std::to_string(settings_.retries) + " repetição(ões)" +
        (settings_.requestPauseMs > 0 ? ", pausa " + std::to_string(settings_.requestPauseMs) + " ms" : "") +
        (settings_.periodS > 0 ? ", período de comissionamento " + std::to_string(settings_.periodS) + " s"
                               : ""));
    return true;
  }

  bool Open() override {
    fb::BusTurn turn(bus_, nullptr);
    if (!configured_) return false;
    MakeLink();
    int err = 0;
    return link_->Open(err);
  }

  void Close() override {
    fb::BusTurn turn(bus_, nullptr);
    if (link_ != nullptr) link_->Close();
  }

 private:
  void Log(const std::string& text) {
    log_->WriteLine(pkg::ToUtf16("MbusInterface [" + std::to_string(InterfaceId) + "]: " + text));
  }

  // Holding the line.
  void MakeLink() {
    if (link_ != nullptr) return;
    std::unique_ptr<fb::ByteLine> line;
    if (settings_.mode == mbus::MbusSettings::Mode::Tcp)
      line = std::make_unique<fb::TcpLine>(settings_.host, settings_.port, settings_.timeoutMs + 1000);
    else
      line = std::make_unique<fb::SerialLine>(settings_.device, settings_.format);
    mbus::LinkTiming timing;
    timing.baud = settings_.format.baud;
    timing.bitsPerCharacter = settings_.format.BitsPerCharacter();
    timing.timeoutMs = settings_.timeoutMs;
    timing.retries = settings_.retries;
    timing.requestPauseMs = settings_.requestPauseMs;
    timing.connectPauseMs = settings_.connectPauseMs;
    link_ = std::make_unique<mbus::MbusLink>(std::move(line), timing,
                                             [this](mbus::MbusLink::Event e, int err) { OnLineEvent(e, err); });
  }

  // The link's news of its line, while a request (or Open) holds it: one
  // line when it starts failing, one when it works again.
  void OnLineEvent(mbus::MbusLink::Event event, int err) {
    switch (event) {
      case mbus::MbusLink::Event::Opened:
        if (!everOpened_)
          Log("conectada a " + settings_.Describe());
        else if (down_)
          Log("conectada a " + settings_.Describe() + " novamente" +
              (failedWhileDown_ > 0 ? " após " + std::to_string(failedWhileDown_) + " pedido(s) sem conexão" : ""));
        everOpened_ = true;
        down_ = false;
        failedWhileDown_ = 0;
        break;
      case mbus::MbusLink::Event::OpenFailed:
        if (!down_) Log("sem conexão com " + settings_.Describe() + ": " + fb::LineErrorText(err));
        down_ = true;
        break;
      case mbus::MbusLink::Event::Lost:
        if (!down_) Log("conexão perdida com " + settings_.Describe() + ": " + fb::LineErrorText(err));
        down_ = true;
        break;
    }
  }

  // One read, served when the line's turn comes.
  void Read(const mbus::Request& req, mbus::ReadReply& out) {
    if (req.cancel != nullptr && req.cancel->load()) {
      out.status = Status::Cancelled;
      return;
    }
    fb::BusTurn turn(bus_, req.cancel);
    if (!turn.Held()) {
      out.status = Status::Cancelled;
      return;
    }
    if (!configured_) {
      out.status = Status::NotConfigured;
      return;
    }
    MakeLink();
    const mbus::LinkAnswer a = req.primary == mbus::kBySecondary
                                   ? link_->ReadSecondary(req.secondary, req.cancel)
                                   : link_->ReadPrimary(req.primary, req.cancel);
    if (a.status == Status::Connection) ++failedWhileDown_;
    out.status = a.status;
    out.detail = a.detail;
    lineAnswers_ = link_->LineAnswers();
    out.lineAnswers = lineAnswers_.load();
    mbus::CopyText(out.reason, a.reason);
    if (a.status == Status::Ok && a.bytes.size() <= sizeof out.bytes) {
      out.telegrams = a.telegrams;
      out.size = static_cast<int32_t>(a.bytes.size());
      std::memcpy(out.bytes, a.bytes.data(), a.bytes.size());
    }
  }

  KxPackageLog* log_;
  mbus::MbusSettings settings_;  // written by Configure, before any request
  bool configured_ = false;
  fb::BusQueue bus_;
  // Held by whoever holds the line:
  std::unique_ptr<mbus::MbusLink> link_;
  bool everOpened_ = false;
  bool down_ = false;  // a failure was logged and no success since
  int failedWhileDown_ = 0;
  // The link's count, for the settings' reply (read without the line).
  std::atomic<uint64_t> lineAnswers_{0};
};

}  // namespace

TELVANE_EXPORT KxInterface* _CreateInterface(KxPackageLog* log) { return new MbusInterface(log); }
