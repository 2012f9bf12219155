#include "shell/HistoryExport.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace trelvane {

HistoryExport::HistoryExport(history::Reader& reader, events::Kind kind, history::Filter filter,
                             std::filesystem::path file, std::size_t stepRows)
    : reader_(reader),
      kind_(kind),
      filter_(std::move(filter)),
      file_(std::move(file)),
      stepRows_(std::max<std::size_t>(stepRows, 1)) {
    part_ = file_;
    part_ += ".part";
    filter_.afterSeq = 0;
}

HistoryExport::~HistoryExport() {
    if (!done_) {
        Cancel();
    }
}

void HistoryExport::Close() {
    if (out_ != nullptr) {
        std::fclose(out_);
        out_ = nullptr;
    }
}

bool HistoryExport::Fail(std::string text) {
    error_ = std::move(text);
    Cancel();
    return false;
}

void HistoryExport::Cancel() {
    cancelled_ = true;
    Close();
    if (started_ && !done_) {
        std::error_code ec;
        std::filesystem::remove(part_, ec);
    }
    started_ = false;
}

bool HistoryExport::Start() {
    const history::Result<std::uint64_t> last = reader_.LastSequence();
    if (!last) {
        return Fail(last.error().text);
    }
    endSeq_ = last.value();
    out_ = std::fopen(part_.c_str(), "wb");
    if (out_ == nullptr) {
        const int err = errno;
        return Fail(part_.string() + ": " + std::strerror(err));
    }
    started_ = true;
    buffer_ = history::HeaderLine(kind_, history::Format::kCsv);
    return true;
}

bool HistoryExport::Step() {
    if (done_ || error_ || cancelled_) {
        return false;
    }
    if (!started_ && !Start()) {
        return false;
    }
    history::Filter f = filter_;
    f.limit = stepRows_;
    // Nothing past the rows of the start is read (a tag set's scan would read on to the end).
    f.throughSeq = endSeq_;
    history::Result<history::Page> page = history::FetchPage(reader_, kind_, f, tags_);
    if (!page) {
        return Fail(page.error().text);
    }
    page->CutAfter(endSeq_);
    const std::size_t n = page->Size();
    if (rows_ == 0 && n > 0) {
        firstSeq_ = page->SeqAt(0);
    }
    page->AppendLines(buffer_, csv_);
    rows_ += n;
    const bool last = n < stepRows_;
    if (n > 0) {
        filter_.afterSeq = page->SeqAt(n - 1);
    }
    if (!buffer_.empty() &&
        std::fwrite(buffer_.data(), 1, buffer_.size(), out_) != buffer_.size()) {
        const int err = errno;
        return Fail(part_.string() + ": " + std::strerror(err));
    }
    buffer_.clear();
    if (!last) {
        return true;
    }
    const bool flushed = std::fflush(out_) == 0;
    const int err = errno;
    Close();
    if (!flushed) {
        return Fail(part_.string() + ": " + std::strerror(err));
    }
    std::error_code ec;
    std::filesystem::rename(part_, file_, ec);
    if (ec) {
        return Fail(file_.string() + ": " + ec.message());
    }
    done_ = true;
    return false;
}

int HistoryExport::Permille() const {
    if (done_) {
        return 1000;
    }
    if (endSeq_ <= firstSeq_ || filter_.afterSeq <= firstSeq_) {
        return 0;
    }
    const double share = static_cast<double>(filter_.afterSeq - firstSeq_) /
                         static_cast<double>(endSeq_ - firstSeq_);
    return static_cast<int>(std::min(share, 1.0) * 1000);
}

}  // namespace trelvane
