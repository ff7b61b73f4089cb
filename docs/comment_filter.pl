#!/usr/bin/perl
# Doxygen's input filter for the public headers: hands Doxygen the headers'
# plain "//" comments as documentation, so that the headers themselves stay
# plain C++.
#
#   comment_filter.pl HEADER     (the filtered text goes to standard output)
#
# The headers follow three conventions, and the filter reads them so:
#  - the comment that opens a file documents the file; when its first word
#    names a class or a macro the file declares ("CQuoraneFile: a thin
#    wrapper..."), it documents that class or macro too;
#  - a comment directly above a declaration documents it, and every
#    declaration after it up to the next blank line or comment (a family of
#    overloads) gets the same text;
#  - a section banner (a comment between two "// ----" rulers) only heads a
#    part of the file, except that declarations following it with no comment
#    of their own are documented by its text.
# Comments after code on the same line are left alone. Comment text is plain
# text with `code` spans, "quoted" text and "- " lists: Doxygen's command and
# markup characters elsewhere in it are escaped. Every output line stands for
# the input line of the same number, so that warnings point at the header's
# own lines: what the filter adds shares a line with the text, or follows the
# file's last line.
use strict;
use warnings;

my $path = shift @ARGV or die "usage: comment_filter.pl HEADER\n";
open(my $in, '<', $path) or die "comment_filter.pl: cannot read $path: $!\n";
my @lines = <$in>;
close($in);
chomp @lines;
my @out = @lines;    # the filtered text, line for line

sub is_comment { return $_[0] =~ m{^\s*//(?!/)}; }
sub is_blank   { return $_[0] =~ m{^\s*$}; }
sub is_ruler   { return $_[0] =~ m{^\s*//\s*-{4,}\s*$}; }

# The text of a comment line for Doxygen: outside `code` and "quoted" spans,
# which Doxygen shows as they are, its special characters are escaped.
sub text_of {
    my ($line) = @_;
    (my $text = $line) =~ s{^\s*//\s?}{};
    my @parts = split /(`[^`]*`|"[^"]*")/, $text;
    for my $part (@parts) {
        $part =~ s/([\\\@%<>#&\$])/\\$1/g unless $part =~ /^[`"]/;
    }
    return join('', @parts);
}

# The lines' text on one line, paragraphs parted by <p>.
sub one_line {
    return join(' ', map { $_ eq '' ? '<p>' : $_ } @_);
}

sub indent_of { return $_[0] =~ m{^(\s*)} ? $1 : ''; }

# The index of the last line of the declarations starting at $first: up to
# the next blank line or comment.
sub end_of_run {
    my ($first) = @_;
    my $last = $first;
    $last++ while $last + 1 < @lines && !is_blank($lines[$last + 1]) && !is_comment($lines[$last + 1]);
    return $last;
}

# The first line of each declaration in lines $first..$last, a declaration
# being a statement that ends in ";" (a comment may follow it).
sub declaration_starts {
    my ($first, $last) = @_;
    my @starts = ($first);
    for my $k ($first .. $last - 1) {
        push @starts, $k + 1 if $lines[$k] =~ m{;\s*(?://.*)?$};
    }
    return @starts;
}

# Puts the documentation $text in front of each declaration of the run.
sub document_each {
    my ($text, @starts) = @_;
    for my $k (@starts) {
        my $indent = indent_of($lines[$k]);
        $out[$k] = "$indent/** $text */ " . substr($lines[$k], length($indent));
    }
}

my $seen_code = 0;
my @trailer;        # documentation added after the file's last line
my @banner_text;    # the text of the banner just passed, while nothing else came
my $i = 0;
while ($i < @lines) {
    my $line = $lines[$i];
    if (is_blank($line)) {
        $i++;
        next;
    }
    if (!is_comment($line)) {
        # Declarations straight after a banner, with no comment of their own.
        if (@banner_text && $line !~ /^\s*#/) {
            my $last = end_of_run($i);
            document_each(one_line(@banner_text), declaration_starts($i, $last));
            $i = $last + 1;
        } else {
            $i++;
        }
        $seen_code = 1;
        @banner_text = ();
        next;
    }

    my $first = $i;
    $i++ while $i < @lines && is_comment($lines[$i]);
    my $last = $i - 1;
    my @block = ($first .. $last);
    my @text = map { text_of($lines[$_]) } @block;

    if (!$seen_code) {
        # The file's own comment.
        $seen_code = 1;
        (my $file = $path) =~ s{.*/}{};
        $out[$first] = "/** \\file $file";
        $out[$first] .= " $text[0]" if $text[0] ne '';
        $out[$_] = $text[$_ - $first] for @block[1 .. $#block];
        $out[$last] .= " */";
        my ($name) = $text[0] =~ /^(\w+):?\s/;
        if (defined $name) {
            my $kind;
            $kind = 'class' if grep { /^\s*class\b.*\b\Q$name\E\b/ } @lines;
            $kind = 'def' if grep { /^\s*#\s*define\s+\Q$name\E\b/ } @lines;
            push @trailer, "/** \\$kind $name", @text, " */" if $kind;
        }
        next;
    }

    if (grep { is_ruler($lines[$_]) } @block) {
        @banner_text = map { text_of($lines[$_]) } grep { !is_ruler($lines[$_]) } @block;
        next;
    }
    @banner_text = ();

    # A comment directly above a declaration or a macro; any other comment
    # stays a plain one.
    next if $i >= @lines || is_blank($lines[$i]) || $lines[$i] =~ /^\s*#(?!\s*define\b)/;
    my $indent = indent_of($lines[$first]);
    $out[$_] = $indent . '/// ' . $text[$_ - $first] for @block;
    my $run_end = end_of_run($i);
    my (undef, @others) = declaration_starts($i, $run_end);
    document_each(one_line(@text), @others);
    $i = $run_end + 1;
}

print "$_\n" for @out, @trailer;
