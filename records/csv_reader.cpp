#include "records/csv_reader.h"

#include <cstring>

namespace {

constexpr std::size_t BLOCK = std::size_t{64} * 1024;

}  // namespace

bool CsvReader::open(const std::string& path) {
    close();
    file_ = std::fopen(path.c_str(), "rb");
    buffer_.resize(BLOCK);
    return file_ != nullptr;
}

void CsvReader::open_text(const std::string& text) {
    close();
    text_ = &text;
}

void CsvReader::close() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
    text_ = nullptr;
    at_ = size_ = 0;
    base_ = 0;
    line_ = 1;
    row_line_ = 0;
    failed_ = false;
}

bool CsvReader::fill() {
    if (text_ != nullptr) {
        if (size_ == text_->size()) return false;
        size_ = text_->size();
        return size_ > at_;
    }
    if (file_ == nullptr) return false;
    base_ += size_;
    at_ = 0;
    size_ = std::fread(buffer_.data(), 1, buffer_.size(), file_);
    if (size_ == 0 && std::ferror(file_) != 0) failed_ = true;
    return size_ > 0;
}

int CsvReader::peek() {
    if (at_ == size_ && !fill()) return -1;
    const char c = text_ != nullptr ? (*text_)[at_] : buffer_[at_];
    return static_cast<unsigned char>(c);
}

std::size_t CsvReader::ahead(std::size_t most) {
    if (text_ != nullptr) {
        size_ = text_->size();
    } else if (file_ != nullptr && size_ - at_ < most) {
        // What is left of the buffer to its front, and more read after it.
        std::memmove(buffer_.data(), buffer_.data() + at_, size_ - at_);
        base_ += at_;
        size_ -= at_;
        at_ = 0;
        while (size_ < most) {
            const std::size_t got = std::fread(buffer_.data() + size_, 1, buffer_.size() - size_, file_);
            if (got == 0) {
                if (std::ferror(file_) != 0) failed_ = true;
                break;
            }
            size_ += got;
        }
    }
    return size_ - at_ < most ? size_ - at_ : most;
}

bool CsvReader::line_starts_row() {
    const std::size_t bytes = ahead(ROW_START_BYTES);
    const char* start = text_ != nullptr ? text_->data() + at_ : buffer_.data() + at_;
    return bytes > 0 && starts_row_(start, bytes);
}

void CsvReader::skip_line() {
    for (int c = peek(); c != -1; c = peek()) {
        ++at_;
        if (c == '\n') {
            ++line_;
            return;
        }
    }
}

CsvReader::FieldEnd CsvReader::quoted_field(std::string& field, std::size_t& bytes) {
    for (;;) {
        const int c = peek();
        if (c == -1) {
            why_ = "no line end: torn";
            return FieldEnd::Bad;
        }
        ++at_;
        if (c == '\n') {
            ++line_;
            if (starts_row_ != nullptr && line_starts_row()) {
                // The row was torn inside this field; the next one starts here.
                why_ = "a quote left open: torn";
                return FieldEnd::TornInside;
            }
        }
        if (c == '"') {
            if (peek() != '"') break;
            ++at_;
        }
        field += static_cast<char>(c);
        if (++bytes > ROW_MAX) {
            why_ = "longer than a row can be";
            return FieldEnd::Bad;
        }
    }
    const int c = peek();
    if (c != ',' && c != '\r' && c != '\n' && c != -1) {
        why_ = "a quote within a field";
        return FieldEnd::Bad;
    }
    return FieldEnd::Whole;
}

CsvReader::FieldEnd CsvReader::plain_field(std::string& field, std::size_t& bytes) {
    for (int c = peek(); c != ',' && c != '\r' && c != '\n' && c != -1; c = peek()) {
        if (c == '"') {
            why_ = "a quote within a field";
            return FieldEnd::Bad;
        }
        field += static_cast<char>(c);
        ++at_;
        if (++bytes > ROW_MAX) {
            why_ = "longer than a row can be";
            return FieldEnd::Bad;
        }
    }
    return FieldEnd::Whole;
}

CsvRow CsvReader::next(std::vector<std::string>& fields) {
    fields.clear();
    row_line_ = line_;
    if (peek() == -1) return CsvRow::End;
    std::size_t bytes = 0;
    std::string field;
    auto bad = [&](const char* why) {
        why_ = why;
        if (peek() != -1) skip_line();
        return CsvRow::Bad;
    };
    for (;;) {
        field.clear();
        FieldEnd end = FieldEnd::Whole;
        if (peek() == '"') {
            ++at_;
            end = quoted_field(field, bytes);
        } else {
            end = plain_field(field, bytes);
        }
        if (end == FieldEnd::TornInside) return CsvRow::Bad;
        if (end == FieldEnd::Bad) return bad(why_);
        fields.push_back(field);
        int c = peek();
        if (c == ',') {
            ++at_;
            continue;
        }
        if (c == '\r') {
            ++at_;
            if (peek() != '\n') return bad("a CR without its LF");
            c = '\n';
        }
        if (c == '\n') {
            ++at_;
            ++line_;
            return CsvRow::Row;
        }
        why_ = "no line end: torn";
        return CsvRow::Bad;
    }
}

std::vector<std::string> csv_fields_of(const std::string& header_line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = header_line.find(',', start);
        fields.push_back(header_line.substr(start, comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return fields;
}
