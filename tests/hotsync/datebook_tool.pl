#!/usr/bin/perl
# Reads and writes Date Book database files with an implementation of the file format that is
# independent of this project's, for the scenario tests.
#
#   datebook_tool.pl write FILE   writes a Date Book holding the appointments listed below
#   datebook_tool.pl dump FILE    prints the database: a header line, the categories, and one
#                                 line per record with its fields in a fixed order
use strict;
use warnings;
use Palm::PDB;
use Palm::Datebook;

binmode STDOUT;
my ($command, $file) = @ARGV;
die "usage: datebook_tool.pl write|dump FILE\n" unless defined $file;

sub record {
  my ($pdb, %f) = @_;
  my $r = $pdb->new_Record;
  $r->{id} = $f{id};
  $r->{category} = $f{category} // 0;
  $r->{attributes} = { dirty => 1, Dirty => 1 };
  if ($f{private}) {
    $r->{attributes}{private} = 1;
    $r->{attributes}{Secret} = 1;
  }
  @{$r}{qw(year month day)} = @{ $f{date} };
  if ($f{time}) {
    @{$r}{qw(start_hour start_minute end_hour end_minute)} = @{ $f{time} };
  }
  if ($f{alarm}) {
    $r->{alarm} = { advance => $f{alarm}[0], unit => $f{alarm}[1] };
  } else {
    delete $r->{alarm};
  }
  $r->{repeat} = $f{repeat} // {};
  $r->{exceptions} = $f{exceptions} // [];
  $r->{description} = $f{description};
  $r->{note} = $f{note};
  $r->{when_changed} = 1 if $f{when_changed};
  $pdb->append_Record($r);
}

if ($command eq 'write') {
  my $pdb = Palm::Datebook->new;
  Palm::StdAppInfo::addCategory($pdb, 'Work', 200);
  record($pdb, id => 0x101, date => [2024, 3, 5], time => [9, 30, 10, 15],
         alarm => [5, 0], description => 'Staff meeting', when_changed => 1);
  record($pdb, id => 0x102, date => [2024, 3, 4], time => [8, 0, 8, 15], category => 1,
         repeat => { type => 2, frequency => 1, repeat_days => [0, 1, 0, 1, 0, 1, 0],
                     start_of_week => 0 },
         exceptions => [[6, 3, 2024]], description => 'Standup');
  record($pdb, id => 0x103, date => [2024, 3, 7], private => 1, description => 'Dentist',
         note => "Bring card\nRoom 4");
  record($pdb, id => 0x104, date => [2024, 3, 8], time => [18, 0, 19, 0],
         repeat => { type => 3, frequency => 1, weeknum => 1, daynum => 5,
                     end_day => 31, end_month => 12, end_year => 2024 },
         description => 'Club');
  $pdb->Write($file);
  exit 0;
}

if ($command eq 'dump') {
  my $pdb = Palm::PDB->new;
  $pdb->Load($file);
  printf "db name=%s type=%s creator=%s records=%d\n", $pdb->{name}, $pdb->{type},
    $pdb->{creator}, scalar @{ $pdb->{records} };
  my $i = 0;
  for my $c (@{ $pdb->{appinfo}{categories} }) {
    printf "category %d id=%d name=%s\n", $i, $c->{id}, $c->{name}
      if defined $c->{name} && $c->{name} ne '';
    $i++;
  }
  for my $r (@{ $pdb->{records} }) {
    my $a = $r->{attributes};
    my @marks;
    push @marks, 'deleted' if $a->{Delete} || $a->{expunged};
    push @marks, 'dirty' if $a->{Dirty} || $a->{dirty};
    push @marks, 'private' if $a->{Secret} || $a->{private};
    push @marks, 'archive' if $a->{archive};
    my $line = sprintf "record id=%d marks=%s", $r->{id}, join(',', @marks) || '-';
    if (defined $r->{year}) {
      $line .= sprintf " cat=%d date=%04d-%02d-%02d", $r->{category} // 0, $r->{year},
        $r->{month}, $r->{day};
      if ($r->{start_hour} == 0xff) {
        $line .= " untimed";
      } else {
        $line .= sprintf " time=%02d:%02d-%02d:%02d", $r->{start_hour}, $r->{start_minute},
          $r->{end_hour}, $r->{end_minute};
      }
      $line .= sprintf " alarm=%d/%d", $r->{alarm}{advance}, $r->{alarm}{unit}
        if $r->{alarm} && %{ $r->{alarm} };
      if ($r->{repeat} && %{ $r->{repeat} } && $r->{repeat}{type}) {
        my $rp = $r->{repeat};
        $line .= sprintf " repeat=%d/%d", $rp->{type}, $rp->{frequency};
        $line .= sprintf "/until-%04d-%02d-%02d", $rp->{end_year}, $rp->{end_month},
          $rp->{end_day} if defined $rp->{end_year};
        $line .= "/days-" . join('', @{ $rp->{repeat_days} }) if $rp->{repeat_days};
        $line .= "/week-$rp->{weeknum}-day-$rp->{daynum}" if defined $rp->{weeknum};
      }
      $line .= " except=" . join(',', map { sprintf "%04d-%02d-%02d", $_->[2], $_->[1], $_->[0] }
                                 @{ $r->{exceptions} }) if $r->{exceptions} && @{ $r->{exceptions} };
      my $note = defined $r->{note} ? $r->{note} : '';
      $note =~ s/\n/\\n/g;
      $line .= " desc=[$r->{description}] note=[$note]";
    }
    print "$line\n";
  }
  exit 0;
}

die "unknown command $command\n";
