% The toolbox around the module, end to end: cut an image, run the module
% with the tol for a target PSNR, assemble, and check what the user is told.

%!function [out, text] = call_module (varargin)
%!  out = cell (1, 7);
%!  text = evalc ('[out{1:7}] = TILEVISTA_Mex (varargin{:});');
%!endfunction

%!function img = test_image (h, w, c)
%!  % Smooth ramps plus a little texture, values 0..255.
%!  [x, y] = meshgrid (linspace (0, 1, w), linspace (0, 1, h));
%!  img = zeros (h, w, c);
%!  for k = 1:c
%!    img(:, :, k) = 120 + 80 * sin (3 * x * k + 2 * y) + 20 * cos (17 * x .* y);
%!  end
%!  img = uint8 (round (img));
%!endfunction

%!test
%! % Grey image whose size is not a multiple of the block: the tol from the
%! % target PSNR makes the module stop on tol, and the cropped result has at
%! % least the target PSNR (the padding adds to the squared residual the
%! % module measures, never to the cropped error).
%! img = test_image (21, 30, 1);
%! [blocks, info] = tilevista_blocks (img, 8);
%! D = tilevista_cosine_dictionary (8, 16);
%! tol = tilevista_tol_for_psnr (img, 40);
%! [out, text] = call_module (blocks, D, D, tol);
%! assert (! isempty (strfind (text, 'We have have reached (tol)')));
%! approx = tilevista_assemble (out{1}, info);
%! assert (size (approx), [21 30]);
%! assert (tilevista_psnr (img, approx, 255) >= 40);
%! assert (tilevista_sparsity_ratio (numel (img), out{7}) > 1);

%!test
%! % Colour: all channels in one call. A channel that is zero receives no
%! % atom, the choice being global; the others are approximated.
%! img = double (test_image (16, 16, 3));
%! img(:, :, 2) = 0;
%! [blocks, info] = tilevista_blocks (img, 4, 4);
%! assert (size (blocks), [4 12]);
%! D = tilevista_cosine_dictionary (4, 8);
%! out = call_module (blocks, D, D, tilevista_tol_for_psnr (img, 35, 255));
%! counts = cellfun (@numel, out{2});
%! assert (all (all (counts(:, 5:8) == 0)));
%! assert (all (counts(:, [1:4 9:12])(:) > 0));
%! approx = tilevista_assemble (out{1}, info);
%! assert (size (approx), [16 16 3]);
%! assert (approx(:, :, 2), zeros (16));
%! assert (tilevista_psnr (img, approx, 255) >= 35);
%! % The same call on the reference chooses the same atoms.
%! ref = cell (1, 8);
%! [ref{:}] = reference_block_pursuit (blocks, D, D, tilevista_tol_for_psnr (img, 35, 255));
%! assert (out{2}, ref{2});
%! assert (out{3}, ref{3});

%!test
%! % Approximation = sum of coefficient * atom, rebuilt from the index and
%! % coefficient outputs alone (identity up to rounding, 1e-9 of 255).
%! img = test_image (8, 12, 1);
%! [blocks, info] = tilevista_blocks (img, 4, 6);
%! Dy = tilevista_combine_dictionaries (tilevista_cosine_dictionary (4, 8), eye (4));
%! Dx = tilevista_cosine_dictionary (6, 12);
%! out = call_module (blocks, Dy, Dx, tilevista_tol_for_psnr (img, 30));
%! for i = 1:numel (blocks)
%!   rebuilt = zeros (4, 6);
%!   for j = 1:numel (out{2}{i})
%!     rebuilt = rebuilt + out{5}{i}(j) * Dy(:, out{2}{i}(j)) * Dx(:, out{3}{i}(j))';
%!   end
%!   assert (rebuilt, out{1}{i}, 255e-9);
%! end

%!test
%! % tests/data/cosine_dictionary.txt holds the bits of tilevista_cosine_dictionary
%! % for a few sizes; the C++ copy used by the benchmarks and the fuzzer is
%! % checked against it too (tests/test_pursuit_reference.cpp). With
%! % TILEVISTA_RECORD_COSINE=<file> the record is written there instead.
%! root = fileparts (fileparts (which ('tilevista_blocks')));
%! record = fullfile (root, 'tests', 'data', 'cosine_dictionary.txt');
%! target = getenv ('TILEVISTA_RECORD_COSINE');
%! if ! isempty (target)
%!   fid = fopen (target, 'w');
%!   fprintf (fid, '# The toolbox''s cosine dictionaries, bit for bit: one line per atom,\n');
%!   fprintf (fid, '# "n K k" (k 0-based) and the atom''s n values as IEEE-754 bits in hex.\n');
%!   fprintf (fid, '# Written by tests/octave/test_toolbox_pipeline.m (TILEVISTA_RECORD_COSINE).\n');
%!   for s = [8 16; 8 8; 5 13; 6 3; 1 4; 4 4; 16 32; 7 7]'
%!     D = tilevista_cosine_dictionary (s(1), s(2));
%!     for k = 1:s(2)
%!       fprintf (fid, '%d %d %d', s(1), s(2), k - 1);
%!       fprintf (fid, ' %s', cellstr (num2hex (D(:, k)))'{:});
%!       fprintf (fid, '\n');
%!     end
%!   end
%!   fclose (fid);
%!   record = target;
%! end
%! lines = strsplit (strtrim (fileread (record)), "\n");
%! lines = lines(! strncmp (lines, '#', 1));
%! assert (numel (lines) >= 80);
%! for k = 1:numel (lines)
%!   words = strsplit (strtrim (lines{k}));
%!   n = str2double (words{1});  K = str2double (words{2});  atom = str2double (words{3}) + 1;
%!   D = tilevista_cosine_dictionary (n, K);
%!   assert (num2hex (D(:, atom)), char (words(4:end)'), lines{k});
%! end

%!function [code, helpText] = toolbox_source (file)
%!  % A toolbox file's code lines (comment lines and test blocks dropped)
%!  % and its help, the comment block after the function line.
%!  lines = strsplit (fileread (file), "\n");
%!  comment = ! cellfun (@isempty, regexp (lines, '^\s*%', 'once'));
%!  code = strjoin (lines(! comment), "\n");
%!  first = find (comment, 1);
%!  last = first - 1 + find ([! comment(first:end), true], 1) - 1;
%!  helpText = strjoin (lines(first:last), "\n");
%!endfunction

%!test
%! % Every error and warning of the toolbox (octave/*.m and its private
%! % helpers) carries an identifier TILEVISTA:..., each written in one place
%! % and listed in the help of every public function that can raise it,
%! % directly or through a private helper. TILEVISTA_Mex.m is the module's
%! % help file: its texts are the module's and stay as they are.
%! toolbox = fileparts (which ('tilevista_blocks'));
%! public = {dir(fullfile (toolbox, '*.m')).name};
%! public = public(! strcmp (public, 'TILEVISTA_Mex.m'));
%! helpers = {dir(fullfile (toolbox, 'private', '*.m')).name};
%! files = [cellfun(@(f) fullfile (toolbox, f), public, 'UniformOutput', false), ...
%!          cellfun(@(f) fullfile (toolbox, 'private', f), helpers, 'UniformOutput', false)];
%! raised = cell (size (files));
%! seen = {};
%! for k = 1:numel (files)
%!   code = toolbox_source (files{k});
%!   firsts = regexp (code, '\<(error|warning)\s*\(\s*([^,)\n]*)', 'tokens');
%!   for t = firsts
%!     assert (! isempty (regexp (t{1}{2}, '^(''TILEVISTA:\w+''|identifier)$', 'once')), ...
%!             sprintf ('%s: %s (%s ...) has no identifier TILEVISTA:...', files{k}, t{1}{1}, t{1}{2}));
%!   end
%!   raised{k} = regexp (code, 'TILEVISTA:\w+', 'match');
%!   seen = [seen, raised{k}];
%! end
%! assert (numel (seen) >= 30);
%! [names, ~, index] = unique (seen);
%! twice = names(accumarray (index(:), 1) > 1);
%! assert (isempty (twice), ['written in two places: ' strjoin(twice, ', ')]);
%! helperNames = regexprep (helpers, '\.m$', '');
%! for k = 1:numel (public)
%!   [code, helpText] = toolbox_source (files{k});
%!   ids = raised{k};
%!   for h = 1:numel (helperNames)
%!     if ! isempty (regexp (code, ['\<' helperNames{h} '\s*\('], 'once'))
%!       ids = [ids, raised{numel(public) + h}];
%!     end
%!   end
%!   % peak_in_force's two cannot both arise everywhere: the demo takes the
%!   % peak of the image's class (no PEAK to refuse), the rate-distortion
%!   % curve has a PEAK and no image to compare with it.
%!   cannot = {'tilevista_demo.m', 'TILEVISTA:peak'; 'tilevista_rate_distortion.m', 'TILEVISTA:peakExceeded'};
%!   ids = setdiff (ids, cannot(strcmp (cannot(:, 1), public{k}), 2));
%!   for id = unique (ids)
%!     assert (! isempty (regexp (helpText, ['\<' id{1} '\>'], 'once')), ...
%!             sprintf ('help %s does not list %s', public{k}, id{1}));
%!   end
%! end

%!function id = raised_by (call)
%!  id = '';
%!  try
%!    evalc (call);
%!  catch err
%!    id = err.identifier;
%!    assert (! isempty (strfind (err.message, strtok (call, ' ('))), err.message);
%!  end
%!endfunction

%!test
%! % What a researcher meets, with the identifier to catch it by.
%! calls = {
%!   'tilevista_blocks (ones (16), 0, 8)',          'TILEVISTA:blockRows'
%!   'tilevista_blocks (ones (16), 8, [8 8])',      'TILEVISTA:blockCols'
%!   'tilevista_blocks ({1}, 8)',                   'TILEVISTA:image'
%!   'tilevista_blocks (ones (16))',                'TILEVISTA:argumentCount'
%!   'tilevista_blocks (ones (16), 8, 8, 8)',       'TILEVISTA:argumentCount'
%!   'tilevista_assemble ({1}, 1)',                 'TILEVISTA:layout'
%!   'tilevista_assemble (cell (2, 1), struct (''imageSize'', [4 4 1], ''blockSize'', [2 2], ''grid'', [2 2]))', 'TILEVISTA:blockGrid'
%!   'tilevista_assemble ({zeros(2), [1 2]}, struct (''imageSize'', [2 4 1], ''blockSize'', [2 2], ''grid'', [1 2]))', 'TILEVISTA:blockSize'
%!   'tilevista_cosine_dictionary (0, 4)',          'TILEVISTA:atomLength'
%!   'tilevista_cosine_dictionary (4, 2.5)',        'TILEVISTA:cosineAtoms'
%!   'tilevista_combine_dictionaries (eye (2))',    'TILEVISTA:dictionaryCount'
%!   'tilevista_combine_dictionaries (eye (2), single (eye (2)))', 'TILEVISTA:dictionary'
%!   'tilevista_combine_dictionaries (eye (4), eye (3))', 'TILEVISTA:dictionaryLength'
%!   'tilevista_psnr (ones (2), ones (3))',         'TILEVISTA:imageSizes'
%!   'tilevista_psnr ([], [])',                     'TILEVISTA:emptyImage'
%!   'tilevista_psnr (ones (2), ones (2), -1)',     'TILEVISTA:peak'
%!   'tilevista_tol_for_psnr (ones (2), [30 40])',  'TILEVISTA:psnrTarget'
%!   'tilevista_tol_for_psnr (ones (2), 30, Inf)',  'TILEVISTA:peak'
%!   'tilevista_psnr_for_tol (ones (2), -1)',       'TILEVISTA:tolValue'
%!   'tilevista_psnr_for_tol (42, 1)',              'TILEVISTA:valueCount'
%!   'tilevista_sparsity_ratio ([1 2], 1)',         'TILEVISTA:pixelCount'
%!   'tilevista_sparsity_ratio (10, -1)',           'TILEVISTA:atomTotal'
%!   'tilevista_rate_distortion (struct (''energy'', 1), 255)', 'TILEVISTA:curve'
%!   'tilevista_rate_distortion (struct (''energy'', 1, ''pixels'', 4), 255, 0)', 'TILEVISTA:curvePixels'
%!   'tilevista_threads (-1)',                      'TILEVISTA:threadCount'
%!   'tilevista_demo ([], [8 8 8])',                'TILEVISTA:blockSides'
%!   'tilevista_demo (''/nonexistent/picture.png'')', 'TILEVISTA:imageFile'
%!   'tilevista_demo ([], 8, 40, [], ''cosine:16+'')', 'TILEVISTA:dictionary'
%!   'tilevista_demo ([], 8, 40, [], ''haar/delta/haar'')', 'TILEVISTA:dictionaryPair'
%!   'tilevista_demo ([], 8, 40, [], {eye(8)})',    'TILEVISTA:dictionaryPair'
%!   'tilevista_dictionary (''fourier:3'', 8)',      'TILEVISTA:dictionary'
%!   'tilevista_dictionary (''haar'', [8 8])',       'TILEVISTA:dictionary'
%!   'tilevista_dictionary (''haar'')',              'TILEVISTA:argumentCount'
%!   'tilevista_combine_dictionaries (''haar'', ''delta'')', 'TILEVISTA:dictionaryLength'
%!   'tilevista_combine_dictionaries (eye (4), ''legendre:5'')', 'TILEVISTA:dictionary'
%!   'tilevista_build (''speed'', 3)',              'TILEVISTA:buildOption'
%!   'tilevista_build (''host'', ''matlab'')',      'TILEVISTA:buildHost'
%! };
%! for k = 1:rows (calls)
%!   assert (raised_by (calls{k, 1}), calls{k, 2}, calls{k, 1});
%! end
%! % The warnings (made errors here): an image above its peak, and a tol
%! % that reads like dB.
%! warning ('error', 'TILEVISTA:peakExceeded', 'local');
%! warning ('error', 'TILEVISTA:tolLooksLikePsnr', 'local');
%! warned = {
%!   'tilevista_psnr ([0 255], [1 254])',                    'TILEVISTA:peakExceeded'
%!   'tilevista_tol_for_psnr ([0 255], 40)',                 'TILEVISTA:peakExceeded'
%!   'tilevista_psnr_for_tol (zeros (512, ''uint8''), 38)',  'TILEVISTA:tolLooksLikePsnr'
%! };
%! for k = 1:rows (warned)
%!   assert (raised_by (warned{k, 1}), warned{k, 2}, warned{k, 1});
%! end
%! % The demo and the help file of tilevista_pursuit without the module: a
%! % session with the toolbox on its path and not the module.
%! toolbox = fileparts (which ('tilevista_blocks'));
%! probe = ['addpath (''' toolbox '''); ' ...
%!          'for c = {''tilevista_demo ()'', ''tilevista_pursuit ({1}, 1, 1)''}, ' ...
%!          'try, eval (c{1}); catch e, printf (''%s|%s\n'', e.identifier, e.message); end, end'];
%! [status, out] = system (sprintf ('octave-cli --no-gui --norc --eval "%s" 2>&1', probe));
%! assert (status, 0, out);
%! said = regexp (out, '^(TILEVISTA:\w+)\|(\w+): ', 'tokens', 'lineanchors');
%! assert (cellfun (@(t) t{1}, said, 'UniformOutput', false), ...
%!         {'TILEVISTA:moduleMissing', 'TILEVISTA:moduleMissing'}, out);
%! assert (cellfun (@(t) t{2}, said, 'UniformOutput', false), ...
%!         {'tilevista_demo', 'tilevista_pursuit'}, out);

%!test
%! % Every function that takes a dictionary takes description strings: the
%! % demo with one description for both directions (each built for its side
%! % of 5 x 4 blocks), 'ROWS/COLUMNS' and a cell of a description and a
%! % matrix all take the atoms of the matrices they name; joining builds a
%! % description for the matrices' rows.
%! file = [tempname() '.png'];
%! out = tempname ();
%! imwrite (test_image (20, 24, 1), file);
%! unwind_protect
%!   Dy = tilevista_dictionary ('cosine:10+haar', 5);
%!   Dx = tilevista_dictionary ('legendre:4+delta', 4);
%!   evalc ('m = tilevista_demo (file, [5 4], 30, out, {Dy, Dx});');
%!   for description = {'cosine:10+haar/legendre:4+delta', {'cosine:10+haar', Dx}}
%!     evalc ('r = tilevista_demo (file, [5 4], 30, out, description{1});');
%!     assert ([r.atoms, r.reachedPsnr], [m.atoms, m.reachedPsnr]);
%!     assert (r.dictionaries{1}, 'cosine:10+haar');
%!   end
%!   assert (r.dictionaries{2}, 'matrix 4 x 8');
%!   text = evalc ('r = tilevista_demo (file, [5 4], 30, out, '' haar + delta '');');
%!   evalc ('b = tilevista_demo (file, [5 4], 30, out, {tilevista_dictionary(''haar+delta'', 5), tilevista_dictionary(''haar+delta'', 4)});');
%!   assert (r.atoms, b.atoms);
%!   assert (! isempty (strfind (text, 'Y 5 x 5 haar+delta, X 4 x 8 haar+delta')), text);
%!   assert (tilevista_combine_dictionaries (eye (8), 'cosine:16+haar'), ...
%!           [eye(8), tilevista_dictionary('cosine:16+haar', 8)]);
%! unwind_protect_cleanup
%!   delete (file);
%!   confirm_recursive_rmdir (false, 'local');
%!   rmdir (out, 's');
%! end_unwind_protect

