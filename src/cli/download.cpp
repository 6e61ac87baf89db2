#include "cli/download.h"

#include <atomic>
#include <memory>
#include <mutex>

#include "cli/file_names.h"
#include "cli/progress.h"
#include "web/stream_fetch.h"

namespace tobrine::cli {
namespace {

constexpr std::string_view kFallbackName = "download";
// How many numbered names are tried before a download gives up for want of one.
constexpr int kNamesTried = 1000;

// The transfer on the fetch's worker: the answer's head decides what happens to
// the part, the body is appended to it. Once closed it never touches the part
// again, so a worker given up on may outlive the download.
class PartStream : public BodyStream {
 public:
  PartStream(PartFile& part, std::string_view link, std::string validatorSent)
      : part_(part), link_(link), validatorSent_(std::move(validatorSent)) {
    facts_.have = validatorSent_.empty() ? 0 : part.size();
    facts_.resumable = !validatorSent_.empty();
    before_.store(facts_.have);
  }

  bool Begin(std::string_view rawHeaders) override {
    std::lock_guard lock(mutex_);
    if (closed_) return false;
    const ResponseHead head = ReadResponseHead(rawHeaders);
    facts_.began = true;
    facts_.status = head.status;
    facts_.plan = PlanAnswer(head, facts_.have, validatorSent_);
    total_.store(facts_.plan.totalBytes.value_or(0));
    if (facts_.plan.step == AnswerStep::kAppend) return true;
    if (facts_.plan.step != AnswerStep::kWriteFromStart) return false;
    // The whole file: the part starts again, with what proves it the same later.
    facts_.have = 0;
    before_.store(0);
    const std::string validator = ValidatorOf(head);
    facts_.resumable = !validator.empty();
    facts_.writeError = part_.Truncate();
    if (facts_.writeError.empty())
      facts_.writeError =
          part_.SaveInfo({link_, validator, FileNameOfDisposition(head.disposition)});
    return facts_.writeError.empty();
  }

  bool Chunk(std::string_view bytes) override {
    std::lock_guard lock(mutex_);
    if (closed_) return false;
    const uint64_t before = facts_.received;
    facts_.writeError = part_.Append(bytes, facts_.received);
    received_.fetch_add(facts_.received - before);
    return facts_.writeError.empty();
  }

  // Ends the transfer's hold on the part; what it left, with the fetch's outcome.
  TransferFacts Close(const FetchOutcome& outcome) {
    std::lock_guard lock(mutex_);
    closed_ = true;
    facts_.outcome = outcome;
    return facts_;
  }

  ProgressState Progress() const {
    const uint64_t before = before_.load();
    return {before + received_.load(), before, total_.load()};
  }

 private:
  std::mutex mutex_;
  bool closed_ = false;
  PartFile& part_;
  const std::string link_;
  const std::string validatorSent_;
  TransferFacts facts_;
  // For the progress bar, read while the worker writes.
  std::atomic<uint64_t> before_{0};
  std::atomic<uint64_t> received_{0};
  std::atomic<uint64_t> total_{0};
};

DownloadResult Failed(std::string reason, std::string message) {
  DownloadResult r;
  r.reason = std::move(reason);
  r.message = std::move(message);
  return r;
}

}  // namespace

std::optional<PartFile> Downloader::PartFor(const std::string& link, const std::string& name,
                                            std::string& error) {
  const DownloadFolder& folder = *folder_;
  int& next = nextNumber_.try_emplace(name, 1).first->second;
  for (int n = next; n < next + kNamesTried; ++n) {
    const std::string candidate = NumberedName(name, n);
    if (names_.contains(candidate) || folder.Exists(candidate)) continue;
    std::optional<PartFile> part;
    if (folder.Exists(candidate + std::string(kPartSuffix)) ||
        folder.Exists(candidate + std::string(kInfoSuffix))) {
      // A part: continued when it is this link's, else left alone.
      const std::optional<PartInfo> info = folder.PartInfoOf(candidate);
      if (!info || info->link != link) continue;
      part = PartFile::Continue(folder, candidate, *info, error);
    } else {
      part = PartFile::Create(folder, candidate, {link, {}, {}}, error);
      // A name taken meanwhile is passed over; any other failure is final.
      if (!part && !folder.Exists(candidate + std::string(kPartSuffix))) return std::nullopt;
    }
    if (!part) continue;
    names_.insert(candidate);
    next = n + 1;
    return part;
  }
  error = "no free name for " + name + " in " + folder.path() + " (" + std::to_string(kNamesTried) +
          " tried)";
  return std::nullopt;
}

TransferFacts Downloader::Transfer(std::string_view link, PartFile& part,
                                   const std::string& validator) {
  auto stream = std::make_shared<PartStream>(part, link, validator);
  const uint64_t have = validator.empty() ? 0 : part.size();
  const std::string headers = settings_.agentLine + ResumeLines(have, validator);
  ProgressBar bar(settings_.progress, settings_.columns, part.name(),
                  [&stream] { return stream->Progress(); });
  StreamFetchOptions options;
  options.extraHeaders = headers;
  options.idleSeconds = settings_.idleSeconds;
  options.byteCap = kPackageByteCap - std::min(kPackageByteCap, have);
  options.onWait = [&bar] { bar.Draw(); };
  const FetchOutcome outcome = StreamFetch(TextValue::FromBytes(link), options, stream);
  return stream->Close(outcome);
}

DownloadResult Downloader::Publish(PartFile& part, const std::string& linkName,
                                   DownloadResult result) {
  if (std::string error = part.Close(); !error.empty()) {
    part.Remove();
    return Failed("file", "cannot write " + folder_->PathOf(part.PartName()) + ": " + error);
  }
  // The part's own name when the server gives none or the link's own, else
  // the server's, numbered when it is taken: from the number the run has come
  // to for that name, so that many packages of one server name do not try
  // every number taken before them (nor run out after kNamesTried of them).
  const std::string& given = part.info().name;
  const bool own = given.empty() || given == linkName;
  const std::string& name = own ? part.name() : given;
  int ownNext = 1;
  int& next = own ? ownNext : nextNumber_.try_emplace(name, 1).first->second;
  for (int n = next; n < next + kNamesTried; ++n) {
    const std::string final = NumberedName(name, n);
    if (final != part.name() && (names_.contains(final) || folder_->Exists(final) ||
                                 folder_->Exists(final + std::string(kPartSuffix)) ||
                                 folder_->Exists(final + std::string(kInfoSuffix))))
      continue;
    std::string error;
    switch (part.PublishAs(final, error)) {
      case PartFile::Publish::kTaken:
        continue;
      case PartFile::Publish::kFailed:
        return Failed("file", error);
      case PartFile::Publish::kDone:
        names_.insert(final);
        next = n + 1;
        result.file = folder_->PathOf(final);
        return result;
    }
  }
  return Failed("file", "no free name for " + name + " in " + folder_->path() + " (" +
                            std::to_string(kNamesTried) + " tried); the package stays in " +
                            folder_->PathOf(part.PartName()));
}

DownloadResult Downloader::Fetch(std::string_view linkText) {
  const std::string link(linkText);
  if (!links_.insert(link).second) {
    DownloadResult skipped;
    skipped.kind = DownloadResult::Kind::kSkipped;
    skipped.message = "fetched before in this run";
    return skipped;
  }
  if (!folder_ && folderError_.empty())
    folder_ = DownloadFolder::Open(settings_.folder, folderError_);
  if (!folder_) return Failed("file", folderError_);
  std::string name = FileNameOfLink(link);
  if (name.empty()) name = kFallbackName;
  std::string error;
  std::optional<PartFile> part = PartFor(link, name, error);
  if (!part) return Failed("file", error);

  // A part is asked to be continued once; an answer that does not continue it
  // has the whole file asked for instead.
  const std::string partPath = folder_->PathOf(part->PartName());
  std::string validator = part->size() > 0 ? part->info().validator : std::string();
  TransferFacts facts = Transfer(link, *part, validator);
  TransferVerdict verdict = ClassifyTransfer(facts, link, partPath, settings_.idleSeconds);
  std::string restarted;
  if (verdict.verdict == Verdict::kRestart) {
    restarted = facts.plan.why;
    facts = Transfer(link, *part, {});
    verdict = ClassifyTransfer(facts, link, partPath, settings_.idleSeconds);
  }
  if (verdict.verdict != Verdict::kDone) {
    if (!verdict.keepPart) part->Remove();
    return verdict.result;
  }
  DownloadResult result = Publish(*part, name, verdict.result);
  if (result.kind != DownloadResult::Kind::kFailed)
    result.message = SuccessMessage(result, facts.received, restarted);
  return result;
}

}  // namespace tobrine::cli
