// SPDX-License-Identifier: Apache-2.0
// IntercomApp: multicast paging. Pages heard (the receiver, what a page does to the call, the
// microphone and the speaker, the window) and the page this side sends from its microphone.
#include <strings.h>

#include <algorithm>

#include "app/intercom_app.h"
#include "app/intercom_app_shared.h"
#include "app/ui_text.h"
#include "audio/cue_tone.h"
#include "audio/volume.h"
#include "base/log.h"
#include "media/paging_sender.h"
#include "platform/tick.h"

namespace quillet::app {

namespace {

constexpr int32_t kMixShift = 2;        // a page mixed into a call plays 12 dB down
constexpr uint32_t kMixCushionMs = 60;  // what a mixed page keeps in hand

// The call's audio with a page mixed in quietly. The page is read only as far as it has
// audio, so that a page waiting for its next packet never holds up the call; it starts (and
// starts again after running dry) once kMixCushionMs of it wait, so that its packets arriving
// a little late or early leave no gaps in it.
class PageMix : public audio::SourceFilter {
 public:
  PageMix(audio::SourceRef call, audio::SourceRef page)
      : SourceFilter(std::move(call)),
        page_(std::move(page)),
        cushion_(static_cast<int32_t>(page_->rate() * kMixCushionMs / 1000)) {}

  void Read(int32_t* buffer, uint32_t frames) override {
    source_->Read(buffer, frames);
    const int32_t waiting = page_->available();
    if (!flowing_ && waiting < cushion_ + static_cast<int32_t>(frames)) return;
    const int32_t ready = std::clamp<int32_t>(waiting, 0, static_cast<int32_t>(frames));
    flowing_ = ready == static_cast<int32_t>(frames);
    if (ready == 0) return;
    scratch_.resize(static_cast<size_t>(ready));
    page_->Read(scratch_.data(), static_cast<uint32_t>(ready));
    for (int32_t i = 0; i < ready; ++i) {
      buffer[i] = std::clamp(buffer[i] + (scratch_[static_cast<size_t>(i)] >> kMixShift),
                             audio::kSampleMin, audio::kSampleMax);
    }
  }

 private:
  audio::SourceRef page_;
  int32_t cushion_;
  bool flowing_ = false;
  std::vector<int32_t> scratch_;
};

std::string pageText(const media::PageInfo& page) {
  return page.group + ", " + page.caller + ", " + media::pageLevelName(page.level) + " (" +
         std::to_string(page.priority) + ")";
}

const char* verdictText(PageVerdict verdict) {
  switch (verdict) {
    case PageVerdict::NotTrusted:
      return "not a trusted sender";
    case PageVerdict::DoNotDisturb:
      return "do not disturb";
    case PageVerdict::InCall:
      return "a call is up (Paging/DuringCall=ignore)";
    default:
      return "";
  }
}

}  // namespace

void IntercomApp::startPagingReceiver() {
  const PagingSettings paging = readPagingSettings(settings());
  if (paging.listens.empty()) return;
  pagingGate_ = std::make_shared<PagingGate>();
  pagingGate_->duringCall = paging.duringCall;
  pagingGate_->trusted = paging.trusted;
  pageTone_ = paging.tone;
  notePagingState();
  // Runs on the receiver's thread: reads only the gate.
  auto admit = [gate = pagingGate_,
                budget = media::LogBudget()](const media::PageInfo& page) mutable {
    const PageVerdict verdict = judgePage(page, *gate);
    if (verdict != PageVerdict::Play && verdict != PageVerdict::Own &&
        budget.allow(platform::tickMs())) {
      base::logInfo("Paging: " + std::string(media::pageLevelName(page.level)) + " page on " +
                    page.group + " from " + page.source + " dropped: " + verdictText(verdict));
    }
    return verdict == PageVerdict::Play;
  };
  auto changed = [this, alive = std::weak_ptr<int>(alive_)](const media::PageChange& change) {
    env_.loop.post([this, alive, change] {
      if (alive.lock() != nullptr && !closing_) onPageChange(change);
    });
  };
  pager_ = std::make_unique<media::PagingReceiver>(paging.listens, paging.interfaceAddress,
                                                   std::move(admit), std::move(changed));
  if (!pager_->open() || !pager_->Start()) {
    pager_.reset();
  }
}

void IntercomApp::stopPaging() {
  stopSendingPage();
  if (pager_ != nullptr) {
    pager_->Stop();
    pager_.reset();
  }
  page_.reset();
}

void IntercomApp::notePagingState() {
  if (pagingGate_ == nullptr) return;
  pagingGate_->doNotDisturb = doNotDisturb();
  const bool callEnded = pagingGate_->callUp && !callActive_;
  pagingGate_->callUp = callActive_;
  if (callEnded && page_) {
    // The call's end stops the speaker: the page goes on on it once the call is done.
    env_.loop.post([this, alive = std::weak_ptr<int>(alive_), id = page_->id] {
      if (alive.lock() == nullptr || closing_ || !page_ || page_->id != id || pageAudio_.isNull()) {
        return;
      }
      pageHeldCall_ = false;
      pageMicrophone_ = false;
      playPage(audio::SourceRef(pageAudio_));
    });
  }
}

void IntercomApp::onPageChange(const media::PageChange& change) {
  if (!change.page) {
    if (page_) endPage();
    return;
  }
  if (!page_ || page_->id != change.page->id) {
    beginPage(*change.page);  // a page of higher priority takes over the one playing
  }
  if (!change.audio.isNull()) playPage(change.audio);
}

// The microphone goes off at once; a call is held when the page asks it.
void IntercomApp::beginPage(const media::PageInfo& page) {
  if (!page_) pageMicrophone_ = recorder_.running() && !sendingPage_;
  page_ = page;
  pagePlayed_ = false;
  pageAudio_.resetNull();
  window_->showPage(pageText(page));
  sip::SipEngine* engine = slot_ != nullptr ? slot_->engine() : nullptr;
  const bool callUp = callActive_ && engine != nullptr;
  const DuringCall during = pagingGate_ != nullptr ? pagingGate_->duringCall : DuringCall::Mix;
  if (callUp && pageCallAction(page.level, during) == CallAction::Hold && !engine->heldHere()) {
    pageHeldCall_ = holdCall(true).empty();
    base::logInfo("Paging: the call is held for the page");
  }
  if (!callUp || pageCallAction(page.level, during) != CallAction::Mix) {
    player_.Stop();  // the page plays alone, once its audio comes
    if (!sendingPage_) recorder_.Stop();
  }
}

void IntercomApp::playPage(const audio::SourceRef& audio) {
  if (!page_) return;
  pagePlayed_ = true;
  pageAudio_ = audio;
  base::SettingsStore& store = settings();
  sip::SipEngine* engine = slot_ != nullptr ? slot_->engine() : nullptr;
  const bool mix = callActive_ && engine != nullptr && !pageHeldCall_ && pagingGate_ != nullptr &&
                   pageCallAction(page_->level, pagingGate_->duringCall) == CallAction::Mix;
  player_.Stop();
  if (mix) {
    audio::SourceRef receiving = engine->ReceivingStream();
    if (receiving->rate() == audio->rate() && receiving->channels() == 1) {
      playCall(audio::SourceRef(new PageMix(receiving, audio)));
      return;
    }
    base::logInfo("Paging: the page's rate differs from the call's; it plays alone");
  }
  int32_t level = std::clamp(store.readInt("Settings", "PlayVolume", 0), -127, 127);
  if (page_->level == media::PageLevel::Emergency) {
    level = std::max(level, 0);  // never below the device's full level
  }
  player_.SetDevice(store.readText("Settings", "PlayDevice"));
  audio::SetPlayVolume(player_, level);
  player_.SetBlocks(audio::kCallBlockMs, audio::kCallBlocks);
  player_.SetLive(true);
  player_.Start(audio::MakeCallSource(audio, pageTone_, *playerQueue_));
}

void IntercomApp::endPage() {
  if (pagePlayed_) base::logInfo("Paging: the page on " + page_->group + " ended");
  pagePlayed_ = false;
  page_.reset();
  window_->showPage("");
  player_.Stop();
  sip::SipEngine* engine = slot_ != nullptr ? slot_->engine() : nullptr;
  if (pageHeldCall_ && engine != nullptr && engine->heldHere()) {
    holdCall(false);
  }
  pageHeldCall_ = false;
  pageAudio_.resetNull();
  // With two calls (call waiting) the audio goes back to the active one.
  sip::SipEngine* active = hasWaitingCall() ? activeEngine() : engine;
  if (callActive_ && active != nullptr) {
    routeAudioTo(*active, pageMicrophone_);
  }
  pageMicrophone_ = false;
}

void IntercomApp::pagingCommand(int32_t id) {
  if (id == kCommandStopPage) {
    if (page_ && pager_ != nullptr) {
      base::logInfo("Paging: stopped listening to the page on " + page_->group);
      pager_->mute(page_->id);
    }
    return;
  }
  std::string why;
  if (sendingPage_) {
    why = pageCommand("off");
  } else {
    std::string group = settings().readText("Paging", "SendGroup");
    if (group.empty()) group = settings().readText("Paging", "Listen1");
    why = group.empty() ? "no group to page: set Paging/SendGroup" : pageCommand(group);
  }
  if (!why.empty()) base::logError("Page: ", why);
}

std::string IntercomApp::pageCommand(const std::string& group) {
  if (closing_) return "the program is closing";
  if (strcasecmp(group.c_str(), "off") == 0 || strcasecmp(group.c_str(), "stop") == 0) {
    if (!sendingPage_) return "no page is being sent";
    stopSendingPage();
    return {};
  }
  if (callActive_ || (slot_ != nullptr && slot_->pending)) return "a call is up";
  if (sendingPage_) return "a page is being sent already";
  base::SettingsStore& store = settings();
  const PagingSettings paging = readPagingSettings(store);
  std::string error;
  const std::optional<media::PageTarget> target = resolvePageTarget(group, paging, error);
  if (!target) return error;
  media::PageSendOptions options;
  options.target = *target;
  options.interfaceAddress = paging.interfaceAddress;
  options.serial = pagingSerial(store);
  options.callerId = store.readText("Paging", "CallerId");
  if (options.callerId.empty()) options.callerId = store.readText("DefaultLine", "DisplayName");
  options.codec = pageSendCodec(store);
  if (target->grouped && options.codec == codecs::CodecId::kOpus) {
    return "group paging cannot carry Opus (Paging/Codec): page a plain RTP group";
  }
  options.opusPayloadType = pageOpusPayloadType(*target, paging);
  auto sender = audio::makeStream<media::PageSender>(options);
  if (!sender->ready()) return "no socket to page with (see the log)";
  if (pagingGate_ != nullptr) {
    pagingGate_->ownSsrc = sender->ssrc();
    pagingGate_->ownSerial = options.serial;
    pagingGate_->sending = true;
  }
  pageSender_ = sender;
  sendingPage_ = true;
  recorder_.Stop();
  recorder_.SetDevice(store.readText("Settings", "RecordDevice"),
                      store.readInt("Settings", "RecordDeviceChannel", 0));
  recorder_.SetRecordVolume(std::clamp(store.readInt("Settings", "RecordVolume", 0), -127, 127));
  recorder_.Start(audio::SinkRef(sender), 0, -127, 0, audio::Recorder::kBeginStreaming);
  window_->setPaging(true);
  window_->checkMenuItem(kCommandPage, true);
  base::logInfo("Paging: sending a page to " + group);
  return {};
}

void IntercomApp::stopSendingPage() {
  if (!sendingPage_) return;
  recorder_.Stop();
  (*pageSender_)->finish();
  base::logInfo("Paging: the page sent ended (" + std::to_string((*pageSender_)->packetsSent()) +
                " packets)");
  pageSender_.reset();
  sendingPage_ = false;
  if (pagingGate_ != nullptr) pagingGate_->sending = false;
  window_->setPaging(false);
  window_->checkMenuItem(kCommandPage, false);
}

}  // namespace quillet::app
