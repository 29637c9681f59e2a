// What survives a kill or a power cut at any moment: the rules that keep a
// box's numbers and its record safe, numbered once here. The code that keeps
// a rule, and the tests that check it, cite it by its number.
//
// D1. A box's values are on the disk, in the journal of numbers, before the
//     box is answered: no box is erased without numbers of its own, and a
//     value once given is spent (the next is after the highest ever given),
//     so none is ever given twice. (job/journal_file.cpp: take)
// D2. A box's row is on the disk, in the results log, before the screen,
//     the events or the line's database show the box's end.
//     (station/port_worker.cpp, app/download.cpp: the row written first)
// D3. The outbox's mark moves only once the line's database holds every row
//     of the log before it; rows after the mark are sent again, and the
//     database keeps one of each. (line/outbox.cpp: mark)
// D4. A lease is on the disk, in the station's journal, and read back from
//     it, before any of its values is given; a lease the database gave and
//     the journal never recorded is a gap, never given. (job/leased_journal.cpp)
// D5. A record that cannot be written whole leaves nothing of itself: the
//     file is cut back to where it began (a failed write, a failed sync), so
//     that a row is never half there, and the retry writes it once.
//     (console/record_file_*.cpp: append_locked)
// D6. A record that a power cut tore is ended before the next one is
//     appended (a journal's line with " # torn", a log's row with its quote
//     closed), so that it never hides the records after it.
//     (job/journal_file.cpp: append_line; records/box_log.cpp: torn_end_repair)
#pragma once
